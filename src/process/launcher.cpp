#include "process/launcher.h"

#include <filesystem>
#include <vector>

#include "fs/file_ops.h"
#include "fs/paths.h"
#include "process/child_process.h"

PROCESS_INFORMATION StartLauncher(const std::wstring& installDir, const std::wstring& token) {
  PROCESS_INFORMATION info{};
  const std::filesystem::path launcher = std::filesystem::path(installDir) / LauncherFileName();
  if (!PathExists(launcher)) {
    return info;
  }
  std::wstring commandLine = QuoteForCommandLine(launcher.native());
  if (!token.empty()) {
    commandLine += L" --post-update-token " + token;
  }
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        installDir.c_str(), &startup, &info)) {
    return PROCESS_INFORMATION{};
  }
  return info;
}

void RestartLauncher(const std::wstring& installDir) {
  const PROCESS_INFORMATION info = StartLauncher(installDir, L"");
  if (info.hThread != nullptr) {
    ::CloseHandle(info.hThread);
  }
  if (info.hProcess != nullptr) {
    ::CloseHandle(info.hProcess);
  }
}
