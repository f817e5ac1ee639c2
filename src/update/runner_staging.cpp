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

bool ExtractWithTar(const fs::path& tar, const fs::path& archive, const fs::path& runnerDir,
                    DWORD timeout) {
  return PathExists(tar) &&
         RunProcessAndWait(tar.native(),
                           L"-xf " + QuoteForCommandLine(archive.native()) + L" -C " +
                               QuoteForCommandLine(runnerDir.native()),
                           timeout);
}

bool ExtractWithPowerShell(const fs::path& powerShell, const fs::path& archive,
                           const fs::path& runnerDir, DWORD timeout) {
  return PathExists(powerShell) &&
         RunProcessAndWait(
             powerShell.native(),
             L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"Expand-Archive "
             L"-LiteralPath '" +
                 EscapeForPowerShellSingleQuotes(archive.native()) + L"' -DestinationPath '" +
                 EscapeForPowerShellSingleQuotes(runnerDir.native()) + L"' -Force\"",
             timeout);
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
