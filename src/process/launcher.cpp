#include "process/launcher.h"

#include <filesystem>
#include <optional>

#include "fs/file_ops.h"
#include "fs/paths.h"
#include "process/child_process.h"

namespace {

// The launcher's command line; none when there is no launcher to start. The
// path is quoted: unquoted, a space in it would let a program at the path's
// start (C:\...\VORN.exe beside "VORN Macros") run in the launcher's place.
std::optional<std::wstring> LauncherCommandLine(const std::wstring& installDir,
                                                const std::wstring& token) {
  const std::filesystem::path launcher = std::filesystem::path(installDir) / LauncherFileName();
  if (!PathExists(launcher)) {
    return std::nullopt;
  }
  std::wstring commandLine = QuoteForCommandLine(launcher.native());
  if (!token.empty()) {
    commandLine += L" --post-update-token " + token;
  }
  return commandLine;
}

}  // namespace

ProcessTree StartLauncherForHandshake(const std::wstring& installDir, const std::wstring& token) {
  const std::optional<std::wstring> commandLine = LauncherCommandLine(installDir, token);
  return commandLine ? StartProcessTree(*commandLine, installDir.c_str()) : ProcessTree{};
}

void RestartLauncher(const std::wstring& installDir) {
  // The handles are closed at once: nobody watches this start.
  if (const std::optional<std::wstring> commandLine = LauncherCommandLine(installDir, L"")) {
    StartChildProcess(*commandLine, 0, installDir.c_str());
  }
}
