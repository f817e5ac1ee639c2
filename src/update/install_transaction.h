#pragma once

#include <cstdint>

#include "cli/update_options.h"
#include "common/progress_sink.h"
#include "manifest/release_manifest.h"
#include "update/run_paths.h"
#include "update/time_limits.h"

// Returns when there is no launcher process to wait for or it has ended.
// Throws `UpdateError` "VORN Launcher did not close in time.".
void WaitForLauncherExit(std::uint32_t launcherPid, DWORD timeout, ProgressSink& progress);

// Moves the installed components that the plan replaces into the backup
// directory, the launcher first. When the runner cannot be moved after the
// launcher was, the launcher is moved back before the failure goes on, so the
// product is never left without its launcher.
void MoveAsideInstalled(const InstallPlan& plan, const RunPaths& paths);

// Removes what the plan installed and moves the backed-up components back,
// trying every move even after one failed, then restarts the launcher
// without a token, but only when everything was put back. Throws the first
// failed move's error.
void RestoreFromBackup(const InstallPlan& plan, const RunPaths& paths);

// Waits for the launcher, moves the old components aside, installs the
// staged ones and hands over to the healthy-start handshake. Any failure from
// the first install on restores the backup before it goes on.
void RunInstallTransaction(const UpdateOptions& options, const ReleaseManifest& manifest,
                           const InstallPlan& plan, const RunPaths& paths,
                           const UpdateTimeLimits& limits, ProgressSink& progress);
