#include "update/new_components.h"

#include "fs/file_ops.h"
#include "fs/install.h"
#include "update/installed_state.h"

void PrepareNewComponents(const ReleaseManifest& manifest, const InstallPlan& plan,
                          const RunPaths& paths, CheckedFiles checked, HeldFileWaits& waits,
                          ProgressSink& progress) {
  EnsureDirectory(paths.ReadyDir());
  if (plan.updateLauncher) {
    InstallFile(paths.StagedLauncher(), paths.IncomingLauncher(), InstallingLauncher, progress);
    checked.launcher.reset();
    waits.MoveWhileWhole(paths.IncomingLauncher(), paths.ReadyLauncher(), InstallingLauncher,
                         NewFilesHeld);
  }
  if (plan.updateRunner) {
    InstallRunnerTree(paths.StagedRunner(), paths.IncomingRunner(), progress);
    checked.runExe.reset();
    WriteRunnerStamp(paths.IncomingRunner(), manifest);
    waits.MoveWhileWhole(paths.IncomingRunner(), paths.ReadyRunner(), InstallingRunner,
                         NewFilesHeld);
  }
}
