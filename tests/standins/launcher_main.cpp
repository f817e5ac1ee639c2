// Stand-in for the product's VORNLauncher.exe, and the Windows-side helper of
// the program-level tests.
//
//   VORNLauncher.exe                            a plain start: exits 0
//   VORNLauncher.exe --post-update-token TOKEN  the handshake, as VORN_LAUNCHER_STANDIN says
//   VORNLauncher.exe --standin-sleep MS [MARK]  runs for MS milliseconds (MARK: for finding it)
//   VORNLauncher.exe --standin-running PIDFILE MARKER
//       a launcher the user has open: writes its process id to PIDFILE and
//       ends once the file MARKER exists
//   VORNLauncher.exe --standin-enter PATTERN PIDFILE MARKER
//       the same, working in the first directory PATTERN names (one element
//       of it may end in *) once it exists: something that holds a new tree
//
// VORN_LAUNCHER_STANDIN holds one behaviour (default confirm:0) and then,
// optionally, "log=PATH" (the rest of the text): every start is logged there
// as cwd=...<TAB>cmdline=...<TAB>token=... Behaviours: confirm:MS (confirm
// after MS), exit:CODE (end at once), hang:MS (run MS without confirming),
// wrongtoken:MS (after MS confirm another token, linger 2 s), runner:CODE
// (start Runner\run.exe working in Runner, marked with the token, and end
// with CODE without confirming), breakaway:MS (confirm after MS, then start a
// program with CREATE_BREAKAWAY_FROM_JOB, as a crash reporter would, trying
// for up to 5 s, and log "breakaway=yes" or "breakaway=no").
#include "standin.h"

#include <cstdlib>

namespace {

struct Behaviour {
  std::wstring mode = L"confirm";
  std::wstring value = L"0";
  std::wstring log;
};

Behaviour ReadBehaviour() {
  Behaviour behaviour;
  std::wstring text = standin::Environment(L"VORN_LAUNCHER_STANDIN");
  if (const std::size_t log = text.find(L"log="); log != std::wstring::npos) {
    behaviour.log = text.substr(log + 4);
    text.erase(log);
  }
  if (const std::size_t colon = text.find(L':'); colon != std::wstring::npos) {
    behaviour.mode = text.substr(0, colon);
    behaviour.value = text.substr(colon + 1, text.find_first_of(L" \t", colon) - colon - 1);
  }
  return behaviour;
}

DWORD Number(const std::wstring& text) { return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10)); }

bool Confirm(const std::wstring& token) {
  const HANDLE file = CreateFileW((L".update-ok-" + token).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// Starts a program of ours that logs no start of its own; false when it
// could not be started.
bool StartQuietly(std::wstring commandLine, DWORD flags, const wchar_t* currentDirectory) {
  SetEnvironmentVariableW(L"VORN_LAUNCHER_STANDIN", nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, currentDirectory,
                      &startup, &started)) {
    return false;
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

// As the product's launcher starts its runner. The runner is not a launcher:
// it does not log a start.
bool StartRunner(const std::wstring& token) {
  const std::filesystem::path runner = standin::ProgramPath().parent_path() / L"Runner";
  return StartQuietly(L"\"" + (runner / L"run.exe").wstring() + L"\" --standin-sleep 600000 " + token, 0,
                      runner.c_str());
}

// The updater lets its job's programs break away only once it has seen the
// confirmation.
bool StartsOutsideTheJob() {
  const std::wstring commandLine = L"\"" + standin::ProgramPath().native() + L"\" --standin-sleep 0";
  for (int attempt = 0; attempt < 50; ++attempt, Sleep(100)) {
    if (StartQuietly(commandLine, CREATE_BREAKAWAY_FROM_JOB, nullptr)) return true;
  }
  return false;
}

int Handshake(const Behaviour& behaviour, const std::wstring& token) {
  if (token.size() != 32 || token.find_first_not_of(L"0123456789ABCDEF") != std::wstring::npos) return 64;
  if (behaviour.mode == L"exit") return static_cast<int>(Number(behaviour.value));
  if (behaviour.mode == L"runner") return StartRunner(token) ? static_cast<int>(Number(behaviour.value)) : 5;
  Sleep(Number(behaviour.value));
  if (behaviour.mode == L"confirm") return Confirm(token) ? 0 : 5;
  if (behaviour.mode == L"breakaway") {
    if (!Confirm(token)) return 5;
    standin::AppendLine(behaviour.log, StartsOutsideTheJob() ? L"breakaway=yes" : L"breakaway=no");
    return 0;
  }
  if (behaviour.mode == L"wrongtoken") {
    std::wstring other = token;
    other[0] = other[0] == L'0' ? L'1' : L'0';  // another token
    if (!Confirm(other)) return 5;
    Sleep(2000);
  }
  return 0;
}

int RunUntil(const std::wstring& pidFile, const std::wstring& marker) {
  standin::AppendLine(pidFile, std::to_wstring(GetCurrentProcessId()));  // one write: never seen in part
  while (GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
  return 0;
}

// The path with its element ending in * replaced by the first name that
// matches it; empty while none does.
std::wstring FirstMatch(const std::wstring& pattern) {
  const std::size_t star = pattern.find(L'*');
  if (star == std::wstring::npos) return pattern;
  const std::size_t rest = pattern.find(L'\\', star);
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(pattern.substr(0, rest).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return L"";
  FindClose(search);
  const std::wstring parent = pattern.substr(0, pattern.rfind(L'\\', star) + 1);
  return parent + found.cFileName + (rest == std::wstring::npos ? L"" : pattern.substr(rest));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const Behaviour behaviour = ReadBehaviour();
  const std::vector<std::wstring> args = standin::Arguments();
  const bool handshake = args.size() == 3 && args[1] == L"--post-update-token";
  if (!behaviour.log.empty()) {
    std::wstring cwd(32767, L'\0');
    cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
    standin::AppendLine(behaviour.log, L"cwd=" + cwd + L"\tcmdline=" + GetCommandLineW() + L"\ttoken=" +
                                           (handshake ? args[2] : L""));
  }
  if (args.size() == 1) return 0;
  if (handshake) return Handshake(behaviour, args[2]);
  if (args.size() >= 3 && args[1] == L"--standin-sleep") {
    Sleep(Number(args[2]));
    return 0;
  }
  if (args.size() == 4 && args[1] == L"--standin-running") return RunUntil(args[2], args[3]);
  if (args.size() == 5 && args[1] == L"--standin-enter") {
    while (!SetCurrentDirectoryW(FirstMatch(args[2]).c_str())) Sleep(2);
    return RunUntil(args[3], args[4]);
  }
  return 64;
}
