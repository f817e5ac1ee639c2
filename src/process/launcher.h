#pragma once

#include <windows.h>

#include <string>

// Starts VORNLauncher.exe from the installation directory, in that directory,
// with " --post-update-token <token>" when a token is given. Returns the
// platform's process record, all zero when nothing was started; the caller
// owns its handles. Never fails.
PROCESS_INFORMATION StartLauncher(const std::wstring& installDir, const std::wstring& token);
