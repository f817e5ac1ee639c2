#pragma once

#include <string>

#include "common/progress_sink.h"
#include "update/time_limits.h"

// One whole update run for this process's command line, reporting every step
// to `progress` and ending in exactly one outcome. Never throws. The worker
// thread's body.
void RunUpdate(ProgressSink& progress);

// The same for a given command line and time limits.
void RunUpdateWith(const std::wstring& commandLine, const UpdateTimeLimits& limits,
                   ProgressSink& progress);
