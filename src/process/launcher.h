#pragma once

#include <string>

#include "common/scoped_handle.h"

// Starts VORNLauncher.exe from the installation directory, in that directory,
// with " --post-update-token <token>" when a token is given. The handles are
// empty when nothing was started. Never fails.
ProcessHandles StartLauncher(const std::wstring& installDir, const std::wstring& token);

// Starts the launcher without a token, for when the updater hands control
// back without a handshake; the process is not watched.
void RestartLauncher(const std::wstring& installDir);
