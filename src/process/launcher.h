#pragma once

#include <string>

#include "process/process_tree.h"

// Starts VORNLauncher.exe from the installation directory, in that directory,
// with " --post-update-token <token>", inside a job of its own, so that the
// launcher and whatever it starts (its runner) can be ended together when it
// does not confirm. Empty when nothing was started. Never fails.
ProcessTree StartLauncherForHandshake(const std::wstring& installDir, const std::wstring& token);

// Starts the launcher without a token, for when the updater hands control
// back without a handshake; the process is not watched.
void RestartLauncher(const std::wstring& installDir);
