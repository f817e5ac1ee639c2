#include "update/new_components.h"

#include "fs/file_ops.h"
#include "fs/install.h"
#include "update/installed_state.h"

void PrepareNewComponents(const ReleaseManifest& manifest, const InstallPlan& plan,
                          const RunPaths& paths, HeldFileWaits& waits, ProgressSink& progress) {
  EnsureDirectory(paths.ReadyDir());
  if (plan.updateLauncher) {
    constexpr const wchar_t* title = L"Installing launcher";
    InstallFile(paths.StagedLauncher(), paths.IncomingLauncher(), title, progress);
    waits.MoveWhileWhole(paths.IncomingLauncher(), paths.ReadyLauncher(), title, NewFilesHeld);
  }
  if (plan.updateRunner) {
    InstallRunnerTree(paths.StagedRunner(), paths.IncomingRunner(), progress);
    WriteRunnerStamp(paths.IncomingRunner(), manifest);
    waits.MoveWhileWhole(paths.IncomingRunner(), paths.ReadyRunner(), L"Installing runner",
                         NewFilesHeld);
  }
}
