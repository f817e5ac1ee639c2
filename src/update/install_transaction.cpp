#include "update/install_transaction.h"

#include <exception>

#include "common/scoped_handle.h"
#include "common/update_error.h"
#include "fs/file_ops.h"
#include "fs/install.h"
#include "process/launcher.h"
#include "update/healthy_start.h"
#include "update/installed_state.h"

namespace fs = std::filesystem;

void WaitForLauncherExit(std::uint32_t launcherPid, DWORD timeout, ProgressSink& progress) {
  if (launcherPid == 0) {
    return;
  }
  const KernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, launcherPid));
  // A process that has ended can still be opened while anyone holds a handle
  // to it; there is nothing to wait for then either.
  if (!process || ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
    return;
  }
  progress.Progress(L"Preparing installation", L"Waiting for VORN Launcher to close...", 0, 1);
  if (::WaitForSingleObject(process.get(), timeout) != WAIT_OBJECT_0) {
    throw UpdateError("VORN Launcher did not close in time.");
  }
}

void MoveAsideInstalled(const InstallPlan& plan, const RunPaths& paths) {
  bool launcherMoved = false;
  if (plan.updateLauncher && PathExists(paths.InstalledLauncher())) {
    MovePath(paths.InstalledLauncher(), paths.BackupLauncher());
    launcherMoved = true;
  }
  if (plan.updateRunner && PathExists(paths.InstalledRunner())) {
    try {
      MovePath(paths.InstalledRunner(), paths.BackupRunner());
    } catch (...) {
      if (launcherMoved) {
        try {
          MovePath(paths.BackupLauncher(), paths.InstalledLauncher());
        } catch (...) {
          // The runner's failure is the one to report.
        }
      }
      throw;
    }
  }
}

void RestoreFromBackup(const InstallPlan& plan, const RunPaths& paths) {
  if (plan.updateLauncher) {
    RemoveFileQuietly(paths.InstalledLauncher());
  }
  if (plan.updateRunner) {
    RemoveTreeQuietly(paths.InstalledRunner());
  }
  std::exception_ptr firstFailure;
  const auto moveBack = [&](const fs::path& from, const fs::path& to) {
    try {
      MovePath(from, to);
    } catch (...) {
      if (!firstFailure) {
        firstFailure = std::current_exception();
      }
    }
  };
  if (plan.updateLauncher && PathExists(paths.BackupLauncher())) {
    moveBack(paths.BackupLauncher(), paths.InstalledLauncher());
  }
  if (plan.updateRunner && PathExists(paths.BackupRunner())) {
    moveBack(paths.BackupRunner(), paths.InstalledRunner());
  }
  if (firstFailure) {
    std::rethrow_exception(firstFailure);
  }
  RestartLauncher(paths.installDir.native());
}

void RunInstallTransaction(const UpdateOptions& options, const ReleaseManifest& manifest,
                           const InstallPlan& plan, const RunPaths& paths,
                           const UpdateTimeLimits& limits, ProgressSink& progress) {
  WaitForLauncherExit(options.launcherPid, limits.launcherExitTimeout, progress);
  EnsureDirectory(paths.backupDir);
  MoveAsideInstalled(plan, paths);

  try {
    if (plan.updateLauncher) {
      InstallFile(paths.StagedLauncher(), paths.InstalledLauncher(), L"Installing launcher",
                  progress);
    }
    if (plan.updateRunner) {
      InstallRunnerTree(paths.StagedRunner(), paths.InstalledRunner(), progress);
      WriteRunnerStamp(paths.InstalledRunner(), manifest);
    }
    AwaitHealthyStart(options, paths, limits, progress);
  } catch (...) {
    RestoreFromBackup(plan, paths);
    throw;
  }
}
