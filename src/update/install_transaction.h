#pragma once

#include "cli/update_options.h"
#include "common/progress_sink.h"
#include "common/scoped_handle.h"
#include "manifest/release_manifest.h"
#include "update/new_components.h"
#include "update/run_paths.h"
#include "update/time_limits.h"

// Returns once the launcher's process (empty: none) and every other process
// that runs a file the plan replaces (the installed launcher, anything in the
// installed runner) have ended, or when there are none. Throws `UpdateError`
// "VORN Launcher did not close in time." when one still runs after `timeout`.
// Nothing is ever terminated here.
void WaitForLauncherExit(const KernelHandle& launcher, const InstallPlan& plan,
                         const RunPaths& paths, DWORD timeout, ProgressSink& progress);

// Waits for the launcher (`launcher`, opened when the run began) and what
// runs the files to be replaced, prepares the new components beside the
// installed ones, waits once more for what was started meanwhile, swaps them
// in and hands over to the healthy-start handshake. A failure after the
// first wait leaves the installation as it was, or restores it. `checked`
// is held until its copy.
void RunInstallTransaction(const UpdateOptions& options, const ReleaseManifest& manifest,
                           const InstallPlan& plan, const RunPaths& paths, CheckedFiles checked,
                           const KernelHandle& launcher, const UpdateTimeLimits& limits,
                           ProgressSink& progress);
