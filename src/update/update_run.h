#pragma once

#include <string>

#include "update/time_limits.h"

// One whole update run for this process's command line, ending in exactly one
// outcome report to `mainWindow`. Never throws. The worker thread's body.
void RunUpdate();

// The same for a given command line and time limits.
void RunUpdateWith(const std::wstring& commandLine, const UpdateTimeLimits& limits);
