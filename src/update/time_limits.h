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

// How long a rename of an installed or backed-up component is tried again
// while something holds a file in it. Security software and the search
// indexer let go of a file they scan within a second or two; a program that
// works in the directory is waited for before the swap and ended before the
// rollback, so what is still held after this long is held for good.
inline constexpr DWORD HeldFileRenamePatience = 5000;

// Every time limit of a run in one place, so tests can shorten them.
struct UpdateTimeLimits {
  DWORD launcherExitTimeout = LauncherExitTimeout;
  int healthyStartChecks = HealthyStartChecks;
  DWORD healthyStartCheckInterval = HealthyStartCheckInterval;
  DWORD unconfirmedLauncherExitTimeout = UnconfirmedLauncherExitTimeout;
  DWORD heldFileRenamePatience = HeldFileRenamePatience;
  DWORD toolTimeout = ChildProcessTimeout;
};
