#include "process/launcher.h"

#include <filesystem>

#include "fs/file_ops.h"
#include "fs/paths.h"
#include "process/child_process.h"

ProcessHandles StartLauncher(const std::wstring& installDir, const std::wstring& token) {
  const std::filesystem::path launcher = std::filesystem::path(installDir) / LauncherFileName();
  if (!PathExists(launcher)) {
    return {};
  }
  std::wstring commandLine = QuoteForCommandLine(launcher.native());
  if (!token.empty()) {
    commandLine += L" --post-update-token " + token;
  }
  return StartChildProcess(commandLine, 0, installDir.c_str());
}

void RestartLauncher(const std::wstring& installDir) {
  // The handles are closed at once: nobody watches this start.
  StartLauncher(installDir, L"");
}
