#include "process/launcher.h"

#include <filesystem>

#include "fs/file_ops.h"
#include "fs/paths.h"
#include "process/child_process.h"
#include "update/scoped_handle.h"

PROCESS_INFORMATION StartLauncher(const std::wstring& installDir, const std::wstring& token) {
  const std::filesystem::path launcher = std::filesystem::path(installDir) / LauncherFileName();
  if (!PathExists(launcher)) {
    return PROCESS_INFORMATION{};
  }
  std::wstring commandLine = QuoteForCommandLine(launcher.native());
  if (!token.empty()) {
    commandLine += L" --post-update-token " + token;
  }
  return StartChildProcess(commandLine, 0, installDir.c_str());
}

void RestartLauncher(const std::wstring& installDir) {
  const PROCESS_INFORMATION info = StartLauncher(installDir, L"");
  // Closed at once, the thread handle first: nobody watches this start.
  const KernelHandle process(info.hProcess);
  const KernelHandle thread(info.hThread);
}
