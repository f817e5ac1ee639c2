// Stand-in for the system's tar.exe and Windows PowerShell, built under both
// names. Each copy takes its role from its own file name and accepts only the
// command line the updater gives that tool. Tests make a tool fail with
// VORN_STANDIN_TAR_FAIL / VORN_STANDIN_POWERSHELL_FAIL (non-empty), and read
// the command lines it got from the file named by VORN_STANDIN_TAR_LOG /
// VORN_STANDIN_POWERSHELL_LOG.
#include "standin.h"

#define ZLIB_CONST
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

// The bytes at..at+length of the archive, which must be there.
const unsigned char* Span(const Bytes& bytes, std::size_t at, std::size_t length) {
  if (at > bytes.size() || length > bytes.size() - at) {
    throw std::runtime_error("archive is truncated");
  }
  return bytes.data() + at;
}

std::uint32_t Read(const Bytes& bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (const unsigned char* p = Span(bytes, at, width) + width; width-- > 0;) value = value << 8 | *--p;
  return value;
}

fs::path EntryPath(const Bytes& bytes, std::size_t at, std::size_t length) {
  const std::string name(reinterpret_cast<const char*>(Span(bytes, at, length)), length);
  if (name.empty() || name.front() == '/' || name.find("..") != name.npos || name.find(':') != name.npos) {
    throw std::runtime_error("unsafe entry name");
  }
  std::wstring wide(name.size(), L'\0');
  const int size = MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), wide.data(),
                                       static_cast<int>(wide.size()));
  wide.resize(static_cast<std::size_t>(size));
  return wide;
}

Bytes Inflate(const Bytes& bytes, std::size_t at, std::uint32_t packed, std::uint32_t size) {
  Bytes data(size + std::size_t{1});  // zlib wants room even for empty data
  z_stream stream{};
  inflateInit2(&stream, -MAX_WBITS);
  stream.next_in = Span(bytes, at, packed);
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
    if (method != 8 && (method != 0 || packed != size)) throw std::runtime_error("unsupported entry");
    const Bytes data = method == 8 ? Inflate(bytes, start, packed, size)
                                   : Bytes(Span(bytes, start, size), Span(bytes, start, size) + size);
    if (crc32(0, data.data(), static_cast<uInt>(data.size())) != crc) {
      throw std::runtime_error("CRC mismatch");
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) throw std::runtime_error("cannot write a file");
  }
}

// The archive and directory of the one command the updater gives PowerShell.
// PowerShell ends a quoted string at ' or a typographic single quote, unless
// it is doubled.
using Job = std::optional<std::pair<std::wstring, std::wstring>>;

Job ExpandArchive(const std::vector<std::wstring>& args) {
  const std::vector<std::wstring> switches{L"-NoProfile", L"-NonInteractive", L"-ExecutionPolicy", L"Bypass",
                                           L"-Command"};
  const std::wstring quoted = L"'((?:[^'\u2018-\u201B]|['\u2018-\u201B]{2})*)'";
  const std::wregex command(L"Expand-Archive -LiteralPath " + quoted + L" -DestinationPath " + quoted +
                            L" -Force");
  std::wsmatch match;
  if (args.size() != 7 || !std::equal(switches.begin(), switches.end(), args.begin() + 1) ||
      !std::regex_match(args[6], match, command)) {
    return std::nullopt;
  }
  const std::wregex doubled(L"(['\u2018-\u201B])['\u2018-\u201B]");
  return std::pair{std::regex_replace(match[1].str(), doubled, L"$1"),
                   std::regex_replace(match[2].str(), doubled, L"$1")};
}

}  // namespace

int wmain() {
  const std::wstring name = standin::ProgramPath().stem().wstring();
  const bool powerShell = CompareStringOrdinal(name.c_str(), -1, L"powershell", -1, TRUE) == CSTR_EQUAL;
  const std::wstring variable = powerShell ? L"VORN_STANDIN_POWERSHELL_" : L"VORN_STANDIN_TAR_";
  if (const std::wstring log = standin::Environment((variable + L"LOG").c_str()); !log.empty()) {
    standin::AppendLine(log, GetCommandLineW());
  }
  if (!standin::Environment((variable + L"FAIL").c_str()).empty()) return 2;
  const std::vector<std::wstring> args = standin::Arguments();
  Job job;
  std::error_code error;
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
