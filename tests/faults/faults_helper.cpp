// Small Windows-side helper for the fault-injection suite (tests/faults). It
// does what Python on the Linux side cannot: act inside the Wine process
// world, where Windows process ids, sharing modes and file attributes live.
//
//   faults_helper spawn    OUT PROGRAM [ARG...]  start PROGRAM, write its pid to OUT, do not wait
//   faults_helper move-dir DIR FILE OUT          hold FILE (inside DIR) open without delete sharing,
//                                                try to move DIR aside, report as JSON in OUT
//   faults_helper attributes PATH OUT            GetFileAttributesW(PATH) as a decimal number in OUT
//
// Exit codes: 0 done, 1 failed, 2 usage. Results go to files, never to a
// pipe: Wine's helper processes keep pipes open long after a program ends.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr int ExitDone = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

// The sharing a program uses when it wants nobody to delete or rename the
// file (nor, on Windows, any directory above it) while it has it open.
constexpr DWORD NoDeleteSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Written beside the target, then renamed over it, so a reader polling for
// the file never sees half of it.
bool WriteResult(const std::wstring& path, const std::string& text) {
  const std::wstring partial = path + L".partial";
  const HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  ::CloseHandle(file);
  return ok && ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Quotes one argument so that the C runtime's splitting gives it back as is.
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

int Spawn(const std::vector<std::wstring>& args) {
  std::wstring commandLine;
  for (std::size_t i = 3; i < args.size(); ++i) {
    commandLine += (i > 3 ? L" " : L"") + Quote(args[i]);
  }
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    return ExitFailed;
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return WriteResult(args[2], std::to_string(info.dwProcessId) + "\n") ? ExitDone : ExitFailed;
}

HANDLE OpenWithoutDeleteSharing(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), GENERIC_READ, NoDeleteSharing, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string Attempt(BOOL ok) {
  const DWORD error = ok ? 0 : ::GetLastError();
  return std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"error\":" + std::to_string(error) + "}";
}

// What moving a directory aside does while a file inside it is open without
// delete sharing; the updater moves the installed runner this way. Deleting
// and moving the open file itself are tried too, as a check that the sharing
// mode is enforced at all.
int MoveDir(const std::vector<std::wstring>& args) {
  const std::wstring dir = args[2];
  const std::wstring file = args[3];
  const std::wstring aside = dir + L".aside";
  const HANDLE held = OpenWithoutDeleteSharing(file);
  if (held == INVALID_HANDLE_VALUE) {
    return ExitFailed;
  }
  const std::string deleteFile = Attempt(::DeleteFileW(file.c_str()));
  const std::string moveFile = Attempt(::MoveFileExW(file.c_str(), (file + L".aside").c_str(),
                                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  const BOOL moved = ::MoveFileExW(dir.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
  const std::string moveDir = Attempt(moved);
  if (moved) {
    ::MoveFileExW(aside.c_str(), dir.c_str(), 0);
  }
  ::CloseHandle(held);
  const std::string json = "{\"deleteFile\":" + deleteFile + ",\"moveFile\":" + moveFile +
                           ",\"moveDir\":" + moveDir + "}\n";
  return WriteResult(args[4], json) ? ExitDone : ExitFailed;
}

int Attributes(const std::vector<std::wstring>& args) {
  const DWORD attributes = ::GetFileAttributesW(args[2].c_str());
  return WriteResult(args[3], std::to_string(attributes) + "\n") ? ExitDone : ExitFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv, argv + argc);
  const std::wstring command = args.size() > 1 ? args[1] : L"";
  try {
    if (command == L"spawn" && args.size() >= 4) {
      return Spawn(args);
    }
    if (command == L"move-dir" && args.size() == 5) {
      return MoveDir(args);
    }
    if (command == L"attributes" && args.size() == 4) {
      return Attributes(args);
    }
  } catch (const std::exception&) {
    return ExitFailed;
  }
  std::fputs("usage: faults_helper spawn|move-dir|attributes ...\n", stderr);
  return ExitUsage;
}
