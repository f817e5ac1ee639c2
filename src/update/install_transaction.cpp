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

namespace {

// A move whose failure the caller deals with itself.
bool TryMovePath(const fs::path& from, const fs::path& to) {
  try {
    MovePath(from, to);
    return true;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

}  // namespace

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

void InstallBeside(const ReleaseManifest& manifest, const InstallPlan& plan,
                   const RunPaths& paths, ProgressSink& progress) {
  if (plan.updateLauncher) {
    InstallFile(paths.StagedLauncher(), paths.IncomingLauncher(), L"Installing launcher",
                progress);
    // The runner's many small files are not flushed one by one: a tree cut
    // short by a power cut lacks its stamp at worst, and a repair run then
    // installs it again. A launcher cut short could not start that repair.
    FlushFileToDisk(paths.IncomingLauncher());
  }
  if (plan.updateRunner) {
    InstallRunnerTree(paths.StagedRunner(), paths.IncomingRunner(), progress);
    WriteRunnerStamp(paths.IncomingRunner(), manifest);
  }
}

void SwapIn(const InstallPlan& plan, const RunPaths& paths, SwapState& state) {
  const auto swapOne = [&](const fs::path& installed, const fs::path& backup,
                           const fs::path& incoming, bool& swapped) {
    if (PathExists(installed)) {
      try {
        MovePath(installed, backup);
      } catch (...) {
        state.movingAsideFailed = true;
        throw;
      }
    }
    swapped = true;
    MovePath(incoming, installed);
  };
  if (plan.updateLauncher) {
    swapOne(paths.InstalledLauncher(), paths.BackupLauncher(), paths.IncomingLauncher(),
            state.launcherSwapped);
  }
  if (plan.updateRunner) {
    swapOne(paths.InstalledRunner(), paths.BackupRunner(), paths.IncomingRunner(),
            state.runnerSwapped);
  }
}

void RestoreFromBackup(const RunPaths& paths, const SwapState& state) {
  std::exception_ptr firstFailure;
  const auto attempt = [&](const auto& step) {
    try {
      step();
    } catch (...) {
      if (!firstFailure) {
        firstFailure = std::current_exception();
      }
    }
  };
  if (state.launcherSwapped) {
    attempt([&] {
      if (PathExists(paths.BackupLauncher())) {
        // One replacing rename: the new launcher leaves as the old one returns.
        MovePath(paths.BackupLauncher(), paths.InstalledLauncher());
      } else {
        RemoveFileQuietly(paths.InstalledLauncher());
      }
    });
  }
  if (state.runnerSwapped) {
    attempt([&] {
      if (!PathExists(paths.BackupRunner())) {
        RemoveTreeQuietly(paths.InstalledRunner());
        return;
      }
      // A directory cannot be replaced by a rename, so the new tree leaves by
      // one rename (it is deleted afterwards) and the old one follows at once.
      const bool movedAway = TryMovePath(paths.InstalledRunner(), paths.IncomingRunner());
      if (!movedAway) {
        RemoveTreeQuietly(paths.InstalledRunner());
      }
      try {
        MovePath(paths.BackupRunner(), paths.InstalledRunner());
      } catch (...) {
        // A complete new runner is better than none.
        if (movedAway) {
          TryMovePath(paths.IncomingRunner(), paths.InstalledRunner());
        }
        throw;
      }
    });
  }
  RemoveTreeQuietly(paths.incomingDir);
  if (firstFailure) {
    std::rethrow_exception(firstFailure);
  }
  if (!state.movingAsideFailed) {
    RestartLauncher(paths.installDir.native());
  }
}

void RunInstallTransaction(const UpdateOptions& options, const ReleaseManifest& manifest,
                           const InstallPlan& plan, const RunPaths& paths,
                           const UpdateTimeLimits& limits, ProgressSink& progress) {
  WaitForLauncherExit(options.launcherPid, limits.launcherExitTimeout, progress);
  EnsureDirectory(paths.backupDir);
  SwapState state;
  try {
    InstallBeside(manifest, plan, paths, progress);
    SwapIn(plan, paths, state);
    AwaitHealthyStart(options, paths, limits, progress);
  } catch (...) {
    RestoreFromBackup(paths, state);
    throw;
  }
}
