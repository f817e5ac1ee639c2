#include "update/install_transaction.h"

#include <exception>
#include <vector>

#include "common/deadline.h"
#include "common/scoped_handle.h"
#include "common/update_error.h"
#include "fs/file_ops.h"
#include "fs/install.h"
#include "fs/paths.h"
#include "process/launcher.h"
#include "process/running_processes.h"
#include "update/healthy_start.h"
#include "update/installed_state.h"

namespace fs = std::filesystem;

namespace {

// A move whose failure the caller deals with itself.
bool TryMovePath(const fs::path& from, const fs::path& to, DWORD patience) {
  try {
    MovePathPatiently(from, to, patience);
    return true;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

}  // namespace

void WaitForLauncherExit(const KernelHandle& launcher, const InstallPlan& plan,
                         const RunPaths& paths, DWORD timeout, ProgressSink& progress) {
  const auto runsReplacedFile = [&](const std::wstring& image) {
    return (plan.updateLauncher && IsSameOrWithin(image, paths.InstalledLauncher())) ||
           (plan.updateRunner && IsSameOrWithin(image, paths.InstalledRunner()));
  };
  const Deadline deadline(timeout);
  bool reported = false;
  // Whatever the processes waited for start in the meantime is looked for
  // again, until a look finds nothing running.
  for (;;) {
    std::vector<KernelHandle> running = OpenProcessesRunning(runsReplacedFile);
    std::vector<HANDLE> waited;
    // A process that has ended can still be opened while anyone holds a
    // handle to it; there is nothing to wait for then either.
    if (launcher && !HasEnded(launcher)) {
      waited.push_back(launcher.get());
    }
    for (const KernelHandle& process : running) {
      if (!HasEnded(process)) {
        waited.push_back(process.get());
      }
    }
    if (waited.empty()) {
      return;
    }
    if (!reported) {
      progress.Progress(L"Preparing installation", L"Waiting for VORN Launcher to close...", 0, 1);
      reported = true;
    }
    for (const HANDLE process : waited) {
      if (::WaitForSingleObject(process, deadline.Remaining()) != WAIT_OBJECT_0) {
        throw UpdateError("VORN Launcher did not close in time.");
      }
    }
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

void SwapIn(const InstallPlan& plan, const RunPaths& paths, DWORD patience, SwapState& state) {
  const auto swapOne = [&](const fs::path& installed, const fs::path& backup,
                           const fs::path& incoming, bool& swapped) {
    if (PathExists(installed)) {
      try {
        MovePathPatiently(installed, backup, patience);
      } catch (...) {
        state.movingAsideFailed = true;
        throw;
      }
    }
    swapped = true;
    MovePathPatiently(incoming, installed, patience);
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

void RestoreFromBackup(const RunPaths& paths, const SwapState& state, DWORD patience) {
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
        MovePathPatiently(paths.BackupLauncher(), paths.InstalledLauncher(), patience);
      } else {
        RemoveFileQuietly(paths.InstalledLauncher());
      }
    });
  }
  if (state.runnerSwapped) {
    attempt([&] {
      if (!PathExists(paths.BackupRunner())) {
        // A first installation: there is no previous runner to keep whole.
        RemoveTreeQuietly(paths.InstalledRunner());
        return;
      }
      // Never deleted in place, which a held file could stop halfway, with
      // neither runner whole. A directory cannot be replaced by a rename, so
      // the new tree leaves by one rename (it is deleted afterwards) and the
      // old one follows at once.
      if (PathExists(paths.InstalledRunner())) {
        MovePathPatiently(paths.InstalledRunner(), paths.IncomingRunner(), patience);
      }
      try {
        MovePathPatiently(paths.BackupRunner(), paths.InstalledRunner(), patience);
      } catch (...) {
        // A complete new runner is better than none.
        TryMovePath(paths.IncomingRunner(), paths.InstalledRunner(), patience);
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
                           const KernelHandle& launcher, const UpdateTimeLimits& limits,
                           ProgressSink& progress) {
  WaitForLauncherExit(launcher, plan, paths, limits.launcherExitTimeout, progress);
  EnsureDirectory(paths.backupDir);
  SwapState state;
  try {
    InstallBeside(manifest, plan, paths, progress);
    SwapIn(plan, paths, limits.heldFileRenamePatience, state);
    AwaitHealthyStart(options, paths, limits, progress);
  } catch (...) {
    RestoreFromBackup(paths, state, limits.heldFileRenamePatience);
    throw;
  }
}
