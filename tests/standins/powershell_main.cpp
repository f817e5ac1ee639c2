// Stand-in for Windows PowerShell. It accepts only the Expand-Archive command
// the updater gives it and extracts with the real bsdtar.exe beside it. Like
// Expand-Archive it creates the destination, refuses entries that climb out of
// it (bsdtar does without -P) and ignores TAR_READER_OPTIONS, which only tar
// reads. Tests read the command lines it got from the file named by
// VORN_STANDIN_POWERSHELL_LOG.
#include "standin.h"

#include <algorithm>
#include <optional>
#include <regex>
#include <utility>

namespace {

// The archive and directory of the one command the updater gives PowerShell.
// PowerShell ends a quoted string at ' or a typographic single quote, unless
// it is doubled.
using Job = std::optional<std::pair<std::wstring, std::wstring>>;

Job ExpandArchive(const std::vector<std::wstring>& args) {
  const std::vector<std::wstring> switches{L"-NoProfile", L"-NonInteractive", L"-ExecutionPolicy", L"Bypass",
                                           L"-Command"};
  const std::wstring quoted = L"'((?:[^'\u2018-\u201B]|['\u2018-\u201B]{2})*)'";
  const std::wregex command(
      L"\\$global:ProgressPreference = 'SilentlyContinue'; Microsoft\\.PowerShell\\.Archive\\\\Expand-Archive "
      L"-LiteralPath " + quoted + L" -DestinationPath " + quoted + L" -Force");
  std::wsmatch match;
  if (args.size() != 7 || !std::equal(switches.begin(), switches.end(), args.begin() + 1) ||
      !std::regex_match(args[6], match, command)) {
    return std::nullopt;
  }
  const std::wregex doubled(L"(['\u2018-\u201B])['\u2018-\u201B]");
  return std::pair{std::regex_replace(match[1].str(), doubled, L"$1"),
                   std::regex_replace(match[2].str(), doubled, L"$1")};
}

// bsdtar extracts into its working directory, so no path on its command line
// ends in a backslash; it reads its command line in the ANSI code page, which
// PowerShell does not, so the archive is named relative to that directory.
DWORD RunTar(const std::wstring& archive, const std::wstring& directory) {
  const std::wstring tar = (standin::ProgramPath().parent_path() / L"bsdtar.exe").native();
  std::error_code error;
  const std::wstring relative = std::filesystem::relative(archive, directory, error).native();
  std::wstring command = L"\"" + tar + L"\" -xf \"" + (error ? archive : relative) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(tar.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                      &startup, &process)) {
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

}  // namespace

int wmain() {
  if (const std::wstring log = standin::Environment(L"VORN_STANDIN_POWERSHELL_LOG"); !log.empty()) {
    standin::AppendLine(log, GetCommandLineW());
  }
  const Job job = ExpandArchive(standin::Arguments());
  std::error_code error;
  if (!job || (std::filesystem::create_directories(job->second, error), error)) return 1;
  SetEnvironmentVariableW(L"TAR_READER_OPTIONS", nullptr);
  return RunTar(job->first, job->second) == 0 ? 0 : 1;
}
