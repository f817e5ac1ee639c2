#pragma once

#include <windows.h>

#include <string>

// Starts VORNLauncher.exe from the installation directory, in that directory,
// with " --post-update-token <token>" when a token is given. Returns the
// platform's process record, all zero when nothing was started; the caller
// owns its handles. Never fails.
PROCESS_INFORMATION StartLauncher(const std::wstring& installDir, const std::wstring& token);

// Starts the launcher without a token, for when the updater hands control
// back without a handshake; the process is not watched.
void RestartLauncher(const std::wstring& installDir);
