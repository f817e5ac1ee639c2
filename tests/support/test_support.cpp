#include "support/test_support.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/scoped_handle.h"
#include "fs/file_ops.h"

namespace fs = std::filesystem;

namespace test {

namespace {

std::optional<std::wstring> EnvironmentValue(const wchar_t* name) {
  wchar_t buffer[4096];
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, 4096);
  if (length == 0 || length >= 4096) {
    return std::nullopt;
  }
  return std::wstring(buffer, length);
}

std::wstring Setting(const wchar_t* name) { return EnvironmentValue(name).value_or(L""); }

ProcessHandles Start(const wchar_t* program, std::wstring commandLine, const wchar_t* workingDir) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workingDir, &startup, &started)) {
    throw std::runtime_error("could not start a program of the tests");
  }
  return ProcessHandles(started);
}

}  // namespace

TempDir::TempDir(const std::wstring& hint) {
  // A fresh name every time: process ids repeat within a prefix, and a
  // directory link left by an earlier test cannot be removed under Wine.
  static int counter = 0;
  do {
    path_ = fs::temp_directory_path() /
            (L"vorn-test-" + hint + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter));
  } while (!fs::create_directory(path_));
}

// Never the standard recursive removal here: it would empty the targets of
// the links some tests make.
TempDir::~TempDir() { RemoveTreeQuietly(path_); }

void MakeDirectoryLink(const fs::path& link, const fs::path& target) {
  using UnixFileName = char*(CDECL*)(const wchar_t*);
  // Through void*: a FARPROC has no parameters to match.
  const auto toUnix = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) {
    throw std::runtime_error("directory links are made from the Linux side, under Wine only");
  }
  const auto unixName = [&](const fs::path& path) {
    char* name = toUnix(path.c_str());
    const std::wstring quoted = L"'" + fs::path(name).wstring() + L"'";
    ::HeapFree(::GetProcessHeap(), 0, name);
    return quoted;
  };
  // Wine runs a Linux program named by its Z: path, though it hands back no
  // process to wait for; the link's appearance is what is waited for.
  Start(L"Z:\\bin\\sh", L"sh -c \"ln -s " + unixName(target) + L" " + unixName(link) + L"\"",
        nullptr);
  for (int i = 0; i < 5000 && ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    ::Sleep(1);
  }
  if (::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    throw std::runtime_error("the directory link did not appear");
  }
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream output(path, std::ios::binary | std::ios::trunc);
  output.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!output) {
    throw std::runtime_error("test could not write a file");
  }
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream input(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

std::string PatternBytes(std::size_t count) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<char>(i % 251);
  }
  return bytes;
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value)
    : name_(name), previous_(EnvironmentValue(name)) {
  ::SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  ::SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

fs::path StandinPath(const wchar_t* fileName) {
  return fs::path(Setting(L"VORN_STANDIN_DIR_WIN")) / fileName;
}

ProcessHandles StartHolder(const fs::path& program, const fs::path& workingDir) {
  static int counter = 0;
  const fs::path started = fs::temp_directory_path() /
                           (L"vorn-holder-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++counter));
  // Runs until it sees a file that never comes; it writes `started` once it
  // runs, by then in its working directory.
  ProcessHandles holder = Start(nullptr,
                                L"\"" + program.native() + L"\" --standin-running \"" +
                                    started.native() + L"\" \"" + started.native() + L".never\"",
                                workingDir.c_str());
  for (int i = 0; i < 2000 && !PathExists(started); ++i) {
    ::Sleep(10);
  }
  RemoveFileQuietly(started);
  return holder;
}

std::wstring HttpBase() { return Setting(L"VORN_TEST_HTTP"); }
std::wstring HttpsBase() { return Setting(L"VORN_TEST_HTTPS"); }

}  // namespace test
