#include "update/runner_staging.h"

#include "common/update_error.h"
#include "fs/file_ops.h"
#include "fs/paths.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void FailExtraction() {
  throw UpdateError("The runner archive could not be extracted or does not contain run.exe.");
}

bool IsPowerShellSingleQuote(wchar_t c) {
  return c == L'\'' || (c >= L'\u2018' && c <= L'\u201B');
}

// tar takes its command line through the ANSI code page, which cannot hold
// every user name in %TEMP%: it runs in the directory that holds the archive
// and is given names relative to it.
bool ExtractWithTar(const fs::path& tar, const fs::path& archive, const fs::path& runnerDir,
                    DWORD timeout) {
  const fs::path workingDir = archive.parent_path();
  const fs::path target =
      runnerDir.parent_path() == workingDir ? runnerDir.filename() : runnerDir;
  return PathExists(tar) &&
         RunProcessAndWait(tar.native(),
                           L"-xf " + QuoteForCommandLine(archive.filename().native()) + L" -C " +
                               QuoteForCommandLine(target.native()),
                           timeout, workingDir.c_str());
}

// Expand-Archive draws a progress bar as it goes, which slows it many times
// over and fails it without a console to draw on; being a module, it heeds
// only the global preference. It is named with its module, which no command
// of the same name in a module earlier in PSModulePath can shadow.
bool ExtractWithPowerShell(const fs::path& powerShell, const fs::path& archive,
                           const fs::path& runnerDir, DWORD timeout) {
  return PathExists(powerShell) &&
         RunProcessAndWait(
             powerShell.native(),
             L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"$global:"
             L"ProgressPreference = 'SilentlyContinue'; "
             L"Microsoft.PowerShell.Archive\\Expand-Archive -LiteralPath '" +
                 EscapeForPowerShellSingleQuotes(archive.native()) + L"' -DestinationPath '" +
                 EscapeForPowerShellSingleQuotes(runnerDir.native()) + L"' -Force\"",
             timeout, archive.parent_path().c_str());
}

}  // namespace

std::optional<fs::path> SystemDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return std::nullopt;
  }
  return fs::path(buffer);
}

std::wstring EscapeForPowerShellSingleQuotes(const std::wstring& text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (const wchar_t c : text) {
    escaped.push_back(c);
    if (IsPowerShellSingleQuote(c)) {
      escaped.push_back(c);
    }
  }
  return escaped;
}

void ExtractRunnerArchive(const fs::path& archive, const fs::path& runnerDir,
                          const std::optional<fs::path>& systemDir, DWORD toolTimeout,
                          ProgressSink& progress) {
  EnsureDirectory(runnerDir);
  progress.Progress(L"Extracting runner files", RunnerArchiveName, 0, 1);
  if (!systemDir) {
    FailExtraction();
  }
  const bool extracted =
      ExtractWithTar(*systemDir / L"tar.exe", archive, runnerDir, toolTimeout) ||
      ExtractWithPowerShell(*systemDir / L"WindowsPowerShell\\v1.0\\powershell.exe", archive,
                            runnerDir, toolTimeout);
  if (!extracted || !PathExists(runnerDir / RunnerExeName)) {
    FailExtraction();
  }
  progress.Progress(L"Extracting runner files", L"Runner ready", 1, 1);
}
