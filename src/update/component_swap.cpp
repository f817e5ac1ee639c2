#include "update/component_swap.h"

#include <exception>
#include <optional>
#include <utility>

#include "fs/file_ops.h"
#include "fs/install.h"
#include "process/launcher.h"

void ComponentSwap::Commit(const InstallPlan& plan, HeldFileWaits& waits) {
  if (plan.updateRunner) {
    SwapRunner(waits);
  }
  if (plan.updateLauncher) {
    SwapLauncher(waits);
  }
}

void ComponentSwap::SwapRunner(HeldFileWaits& waits) {
  const RunPaths& paths = paths_;
  if (!PathExists(paths.InstalledRunner())) {
    // A first installation: there is no previous runner to keep.
    waits.MoveWhileWhole(paths.ReadyRunner(), paths.InstalledRunner(), InstallingRunner,
                         NewFilesHeld);
    undo_.emplace_back([paths](HeldFileWaits&) { RemoveTreeQuietly(paths.InstalledRunner()); });
    return;
  }
  try {
    waits.MoveWhileWhole(paths.InstalledRunner(), paths.BackupRunner(), InstallingRunner,
                         InstalledFilesHeld);
  } catch (...) {
    movingAsideFailed_ = true;
    throw;
  }
  undo_.emplace_back([paths](HeldFileWaits& undoWaits) {
    undoWaits.MoveWhileMissing(paths.BackupRunner(), paths.InstalledRunner());
  });
  waits.MoveWhileMissing(paths.ReadyRunner(), paths.InstalledRunner());
  // A runner is never deleted in place, which a held file could stop halfway
  // with neither runner whole. A directory cannot be replaced by a rename, so
  // the new tree leaves by one rename, waiting while both trees are whole,
  // and the previous one follows at once.
  undo_.back() = [paths](HeldFileWaits& undoWaits) {
    undoWaits.MoveWhileWhole(paths.InstalledRunner(), paths.IncomingRunner());
    try {
      undoWaits.MoveWhileMissing(paths.BackupRunner(), paths.InstalledRunner());
    } catch (...) {
      // A complete new runner is better than none.
      try {
        undoWaits.MoveWhileMissing(paths.IncomingRunner(), paths.InstalledRunner());
      } catch (...) {  // NOLINT(bugprone-empty-catch): the first failure is the one reported
      }
      throw;
    }
  };
}

void ComponentSwap::SwapLauncher(HeldFileWaits& waits) {
  const RunPaths& paths = paths_;
  if (!PathExists(paths.InstalledLauncher())) {
    waits.MoveWhileWhole(paths.ReadyLauncher(), paths.InstalledLauncher(), InstallingLauncher,
                         NewFilesHeld);
    undo_.emplace_back([paths](HeldFileWaits&) { RemoveFileQuietly(paths.InstalledLauncher()); });
    return;
  }
  // The previous launcher is kept in the backup under a second name rather
  // than moved there, so that the installation is never without a launcher
  // while the replacing rename below waits. A read-only launcher is made
  // writable for that rename first, before its second name, which shares the
  // attribute and could not be removed again with it; it is read-only again
  // once it is back.
  std::optional<DWORD> readOnly;
  try {
    readOnly = ClearReadOnly(paths.InstalledLauncher());
    KeepAsSecondName(paths.InstalledLauncher(), paths.BackupLauncher());
  } catch (...) {
    RestoreReadOnly(paths.InstalledLauncher(), readOnly);
    movingAsideFailed_ = true;
    throw;
  }
  undo_.emplace_back([paths, readOnly](HeldFileWaits&) {
    RemoveFileQuietly(paths.BackupLauncher());
    RestoreReadOnly(paths.InstalledLauncher(), readOnly);
  });
  waits.MoveWhileWhole(paths.ReadyLauncher(), paths.InstalledLauncher(), InstallingLauncher,
                       InstalledFilesHeld);
  // One replacing rename: the new launcher leaves as the previous one returns.
  undo_.back() = [paths, readOnly](HeldFileWaits& undoWaits) {
    undoWaits.MoveWhileWhole(paths.BackupLauncher(), paths.InstalledLauncher());
    RestoreReadOnly(paths.InstalledLauncher(), readOnly);
  };
}

void ComponentSwap::Restore(HeldFileWaits& waits) {
  std::exception_ptr firstFailure;
  while (!undo_.empty()) {
    const std::function<void(HeldFileWaits&)> undo = std::move(undo_.back());
    undo_.pop_back();
    try {
      undo(waits);
    } catch (...) {
      if (!firstFailure) {
        firstFailure = std::current_exception();
      }
    }
  }
  if (firstFailure) {
    std::rethrow_exception(firstFailure);
  }
  RemoveTreeQuietly(paths_.incomingDir);
  if (!movingAsideFailed_) {
    RestartLauncher(paths_.installDir.native());
  }
}
