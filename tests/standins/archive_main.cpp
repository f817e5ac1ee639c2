// Stand-in for the system's tar.exe and Windows PowerShell, built under both
// names. Each copy takes its role from its own file name and accepts only the
// command line the updater gives that tool. Tests make a tool fail with
// VORN_STANDIN_TAR_FAIL / VORN_STANDIN_POWERSHELL_FAIL (non-empty) or a file
// tar.fail / powershell.fail beside it, and read the command lines it got
// from the file named by VORN_STANDIN_TAR_LOG / VORN_STANDIN_POWERSHELL_LOG.
#include "standin.h"

#define ZLIB_CONST
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

void Check(const Bytes& bytes, std::size_t at, std::size_t length) {
  if (at > bytes.size() || length > bytes.size() - at) throw std::runtime_error("archive is truncated");
}

std::uint32_t Read(const Bytes& bytes, std::size_t at, std::size_t width) {
  Check(bytes, at, width);
  std::uint32_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}

fs::path EntryPath(const Bytes& bytes, std::size_t at, std::size_t length) {
  Check(bytes, at, length);
  const std::string name(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
  if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos ||
      name.find_first_of(":\\") != std::string::npos) {
    throw std::runtime_error("unsafe entry name");
  }
  std::wstring wide(name.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                                           wide.data(), static_cast<int>(wide.size()))));
  return wide;
}

Bytes Inflate(const Bytes& bytes, std::size_t at, std::uint32_t packed, std::uint32_t size) {
  Check(bytes, at, packed);
  Bytes data(size + std::size_t{1});  // zlib wants room even for empty data
  z_stream stream{};
  inflateInit2(&stream, -MAX_WBITS);
  stream.next_in = bytes.data() + at;
  stream.avail_in = packed;
  stream.next_out = data.data();
  stream.avail_out = static_cast<uInt>(data.size());
  const int result = inflate(&stream, Z_FINISH);
  inflateEnd(&stream);
  if (result != Z_STREAM_END || stream.total_out != size) throw std::runtime_error("corrupt deflated data");
  data.pop_back();
  return data;
}

// Stored and deflated entries, as the release tool and the tests write them;
// the central directory has the sizes.
void ExtractZip(const fs::path& zip, const fs::path& target) {
  std::ifstream in(zip, std::ios::binary);
  const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::size_t end = bytes.size() >= 22 ? bytes.size() - 22 : 0;
  while (end > 0 && Read(bytes, end, 4) != 0x06054b50) --end;
  if (Read(bytes, end, 4) != 0x06054b50) throw std::runtime_error("not a ZIP archive");
  std::size_t at = Read(bytes, end + 16, 4);
  for (std::uint32_t count = Read(bytes, end + 10, 2); count > 0; --count) {
    if (Read(bytes, at, 4) != 0x02014b50) throw std::runtime_error("corrupt central directory");
    const std::uint32_t method = Read(bytes, at + 10, 2), crc = Read(bytes, at + 16, 4);
    const std::uint32_t packed = Read(bytes, at + 20, 4), size = Read(bytes, at + 24, 4);
    const std::size_t nameLength = Read(bytes, at + 28, 2), local = Read(bytes, at + 42, 4);
    const fs::path path = target / EntryPath(bytes, at + 46, nameLength);
    const bool directory = bytes[at + 46 + nameLength - 1] == '/';
    at += 46 + nameLength + Read(bytes, at + 30, 2) + Read(bytes, at + 32, 2);
    fs::create_directories(directory ? path : path.parent_path());
    if (directory) continue;
    const std::size_t start = local + 30 + Read(bytes, local + 26, 2) + Read(bytes, local + 28, 2);
    Bytes data;
    if (method == 8) {
      data = Inflate(bytes, start, packed, size);
    } else if (method == 0 && packed == size) {
      Check(bytes, start, size);
      data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                  bytes.begin() + static_cast<std::ptrdiff_t>(start + size));
    } else {
      throw std::runtime_error("unsupported entry");
    }
    if (crc32(0, data.data(), static_cast<uInt>(data.size())) != crc) throw std::runtime_error("CRC mismatch");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) throw std::runtime_error("cannot write a file");
  }
}

// PowerShell ends a single-quoted string at any of these quotes; a doubled
// one stands for one quote.
bool IsQuote(wchar_t c) { return c == L'\'' || (c >= L'\u2018' && c <= L'\u201B'); }

std::optional<std::wstring> Quoted(std::wstring_view& rest) {
  std::wstring value;
  for (std::size_t i = 1; !rest.empty() && IsQuote(rest[0]) && i < rest.size(); ++i) {
    if (!IsQuote(rest[i])) {
      value += rest[i];
    } else if (i + 1 < rest.size() && IsQuote(rest[i + 1])) {
      value += rest[++i];
    } else {
      rest.remove_prefix(i + 1);
      return value;
    }
  }
  return std::nullopt;
}

bool Literal(std::wstring_view& rest, std::wstring_view text) {
  if (!rest.starts_with(text)) return false;
  rest.remove_prefix(text.size());
  return true;
}

// Archive and directory from "Expand-Archive -LiteralPath '<zip>' -DestinationPath '<dir>' -Force".
std::optional<std::pair<std::wstring, std::wstring>> ExpandArchive(const std::vector<std::wstring>& args) {
  const std::vector<std::wstring> switches{L"-NoProfile", L"-NonInteractive", L"-ExecutionPolicy", L"Bypass",
                                           L"-Command"};
  if (args.size() != 7 || !std::equal(switches.begin(), switches.end(), args.begin() + 1)) return std::nullopt;
  std::wstring_view rest = args[6];
  if (!Literal(rest, L"Expand-Archive -LiteralPath ")) return std::nullopt;
  auto zip = Quoted(rest);
  if (!zip || !Literal(rest, L" -DestinationPath ")) return std::nullopt;
  auto dir = Quoted(rest);
  if (!dir || rest != L" -Force") return std::nullopt;
  return std::pair{*zip, *dir};
}

}  // namespace

int wmain() {
  const fs::path program = standin::ProgramPath();
  const bool powerShell = CompareStringOrdinal(program.stem().c_str(), -1, L"powershell", -1, TRUE) == CSTR_EQUAL;
  const wchar_t* const log = powerShell ? L"VORN_STANDIN_POWERSHELL_LOG" : L"VORN_STANDIN_TAR_LOG";
  if (const auto file = standin::Environment(log); file && !file->empty()) standin::AppendLine(*file, GetCommandLineW());
  const auto fail = standin::Environment(powerShell ? L"VORN_STANDIN_POWERSHELL_FAIL" : L"VORN_STANDIN_TAR_FAIL");
  std::error_code error;
  if ((fail && !fail->empty()) || fs::exists(program.parent_path() / (program.stem().wstring() + L".fail"), error)) {
    return 2;
  }
  const std::vector<std::wstring> args = standin::Arguments();
  std::optional<std::pair<std::wstring, std::wstring>> job;
  if (powerShell) {
    job = ExpandArchive(args);
  } else if (args.size() == 5 && args[1] == L"-xf" && args[3] == L"-C" && fs::is_directory(args[4], error)) {
    job = std::pair{args[2], args[4]};  // like the real tar, -C needs an existing directory
  }
  if (!job) return 1;
  try {
    ExtractZip(job->first, job->second);
  } catch (const std::exception&) {
    return 1;
  }
  return 0;
}
