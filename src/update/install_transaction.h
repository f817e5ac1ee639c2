#pragma once

#include "cli/update_options.h"
#include "common/progress_sink.h"
#include "common/scoped_handle.h"
#include "manifest/release_manifest.h"
#include "update/run_paths.h"
#include "update/time_limits.h"

// Returns once the launcher's process (empty: none) and every other process
// that runs a file the plan replaces (the installed launcher, anything in the
// installed runner) have ended, or when there are none. Throws `UpdateError`
// "VORN Launcher did not close in time." when one still runs after `timeout`.
// Nothing is ever terminated here.
void WaitForLauncherExit(const KernelHandle& launcher, const InstallPlan& plan,
                         const RunPaths& paths, DWORD timeout, ProgressSink& progress);

// How far the new components got into the installation, so that a failure
// undoes exactly that.
struct SwapState {
  bool launcherSwapped = false;  // the previous launcher, if any, is in the backup directory
  bool runnerSwapped = false;    // the previous runner, if any, is in the backup directory
  bool movingAsideFailed = false;
};

// Copies the staged components into the incoming directory beside the
// installed ones, with the progress of an install: the launcher flushed to
// disk, the runner checked for run.exe and stamped. Nothing installed changes.
void InstallBeside(const ReleaseManifest& manifest, const InstallPlan& plan,
                   const RunPaths& paths, ProgressSink& progress);

// For each component the plan replaces, the launcher first: the installed one
// moves into the backup directory and the incoming one takes its place, two
// renames back to back, so that at any moment the place holds a complete
// component, old or new, but for the instant between them. A rename refused
// for a held file is tried again for up to `patience` milliseconds.
void SwapIn(const InstallPlan& plan, const RunPaths& paths, DWORD patience, SwapState& state);

// Puts every swapped component back: the new one leaves and the previous one
// returns with as few steps between as the platform allows, trying each even
// after one failed, and each rename as patiently as `SwapIn`. A new runner
// leaves only by rename: when it cannot, it stays whole in place and the
// previous one whole in the backup. Removes the incoming directory, then
// restarts the launcher without a token when everything is back and no move
// aside had failed. Throws the first failed move's error.
void RestoreFromBackup(const RunPaths& paths, const SwapState& state, DWORD patience);

// Waits for the launcher (`launcher`, opened when the run began) and what
// runs the files to be replaced, installs the staged components beside the
// old ones, swaps them in and hands over to the healthy-start handshake. Any
// failure after the wait restores what was swapped before it goes on.
void RunInstallTransaction(const UpdateOptions& options, const ReleaseManifest& manifest,
                           const InstallPlan& plan, const RunPaths& paths,
                           const KernelHandle& launcher, const UpdateTimeLimits& limits,
                           ProgressSink& progress);
