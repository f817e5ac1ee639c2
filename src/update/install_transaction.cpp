#include "update/install_transaction.h"

#include <utility>
#include <vector>

#include "common/deadline.h"
#include "common/scoped_handle.h"
#include "common/update_error.h"
#include "fs/file_ops.h"
#include "fs/paths.h"
#include "process/launcher.h"
#include "process/running_processes.h"
#include "update/component_swap.h"
#include "update/healthy_start.h"
#include "update/held_file_waits.h"
#include "update/new_components.h"

namespace fs = std::filesystem;

void WaitForLauncherExit(const KernelHandle& launcher, const InstallPlan& plan,
                         const RunPaths& paths, DWORD timeout, ProgressSink& progress) {
  // A program is known by the file it runs, whichever name reached it; by
  // its path where either file cannot be opened.
  const std::wstring launcherFile = FinalPath(paths.InstalledLauncher());
  const std::wstring runnerDir = FinalPath(paths.InstalledRunner());
  const auto runsReplacedFile = [&](const std::wstring& image) {
    const std::wstring imageFile = FinalPath(image);
    const auto isOrWithin = [&](const fs::path& place, const std::wstring& placeFile) {
      return imageFile.empty() || placeFile.empty() ? IsSameOrWithin(image, place)
                                                    : IsSameOrWithin(imageFile, placeFile);
    };
    return (plan.updateLauncher && isOrWithin(paths.InstalledLauncher(), launcherFile)) ||
           (plan.updateRunner && isOrWithin(paths.InstalledRunner(), runnerDir));
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

void RunInstallTransaction(const UpdateOptions& options, const ReleaseManifest& manifest,
                           const InstallPlan& plan, const RunPaths& paths, CheckedFiles checked,
                           const KernelHandle& launcher, const UpdateTimeLimits& limits,
                           ProgressSink& progress) {
  WaitForLauncherExit(launcher, plan, paths, limits.launcherExitTimeout, progress);
  EnsureDirectory(paths.backupDir);
  HeldFileWaits waits(limits.heldFileWaitLimit, limits.heldFileRenamePatience, &progress);
  try {
    PrepareNewComponents(manifest, plan, paths, std::move(checked), waits, progress);
  } catch (...) {
    // Nothing installed has changed: the launcher that closed for the update
    // is started again.
    RemoveTreeQuietly(paths.incomingDir);
    RestartLauncher(paths.installDir.native());
    throw;
  }
  try {
    // The copy of a large runner takes long enough for the product to be
    // started again meanwhile.
    WaitForLauncherExit(launcher, plan, paths, limits.launcherExitTimeout, progress);
  } catch (...) {
    RemoveTreeQuietly(paths.incomingDir);
    throw;
  }

  ComponentSwap swap(paths);
  try {
    swap.Commit(plan, waits);
    AwaitHealthyStart(options, paths, limits, progress);
  } catch (...) {
    // The restore has a limit of its own: giving up early would leave the
    // new and the previous components mixed.
    HeldFileWaits restoreWaits(limits.heldFileWaitLimit, limits.heldFileRenamePatience, nullptr);
    swap.Restore(restoreWaits);
    throw;
  }
}
