#pragma once

#include "cli/update_options.h"
#include "common/progress_sink.h"
#include "update/run_paths.h"
#include "update/time_limits.h"

// Starts the installed launcher with a fresh post-update token and waits for
// it to create ".update-ok-<token>" in the installation directory. When it
// does, commits the run (confirmation file, backup, incoming and staging
// directories removed) and reports success; the launcher and what it started
// run on. Throws `UpdateError` otherwise, once the launcher and everything it
// started have been ended, so that their files can be put back.
void AwaitHealthyStart(const UpdateOptions& options, const RunPaths& paths,
                       const UpdateTimeLimits& limits, ProgressSink& progress);
