#pragma once

#include <windows.h>

#include "process/child_process.h"

// The longest wait for the running launcher to end before files are replaced.
inline constexpr DWORD LauncherExitTimeout = 15000;

// The healthy-start handshake checks for the confirmation this many times,
// this far apart.
inline constexpr int HealthyStartChecks = 90;
inline constexpr DWORD HealthyStartCheckInterval = 1000;

// How long an unconfirmed launcher that was ended is given to go away before
// the previous files are put back.
inline constexpr DWORD UnconfirmedLauncherExitTimeout = 5000;

// How long the renames of one run (and, apart, of its restore) may spend
// waiting in all while something holds a file in what they move (security
// software scanning the new files, a program working in the installed
// runner), as long as every component stays whole in its place meanwhile. Security software checking a new file
// in the cloud holds it for 10 s by default, and for up to 60 s where
// administrators extend that.
inline constexpr DWORD HeldFileWaitLimit = 60000;

// How long a rename waits for a held file while a component is missing from
// its place: kept short, since a kill, a shutdown or a power cut meanwhile
// would leave it missing.
inline constexpr DWORD HeldFileRenamePatience = 5000;

// Every time limit of a run in one place, so tests can shorten them.
struct UpdateTimeLimits {
  DWORD launcherExitTimeout = LauncherExitTimeout;
  int healthyStartChecks = HealthyStartChecks;
  DWORD healthyStartCheckInterval = HealthyStartCheckInterval;
  DWORD unconfirmedLauncherExitTimeout = UnconfirmedLauncherExitTimeout;
  DWORD heldFileWaitLimit = HeldFileWaitLimit;
  DWORD heldFileRenamePatience = HeldFileRenamePatience;
  DWORD toolTimeout = ChildProcessTimeout;
};
