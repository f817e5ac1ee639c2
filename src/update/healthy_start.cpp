#include "update/healthy_start.h"

#include "common/update_error.h"
#include "fs/file_ops.h"
#include "process/launcher.h"
#include "process/running_processes.h"
#include "process/tokens.h"

namespace {

constexpr const wchar_t* Title = L"Starting VORN Launcher";
constexpr const wchar_t* Detail = L"Waiting for a healthy-start confirmation...";

}  // namespace

void AwaitHealthyStart(const UpdateOptions& options, const RunPaths& paths,
                       const UpdateTimeLimits& limits, ProgressSink& progress) {
  const std::wstring token = NewGuidToken();
  const std::filesystem::path confirmation = paths.installDir / (ConfirmationPrefix + token);
  RemoveFileQuietly(confirmation);

  const ProcessTree launcher = StartLauncherForHandshake(options.installDir, token);

  const auto total = static_cast<std::uint64_t>(limits.healthyStartChecks);
  progress.Progress(Title, Detail, 0, total);
  bool confirmed = false;
  for (int i = 0; i < limits.healthyStartChecks;) {
    if (PathExists(confirmation)) {
      confirmed = true;
      break;
    }
    // A launcher that could not be started (blocked by application control,
    // quarantined, not a valid program) will never confirm.
    if (!launcher.handles.process || HasEnded(launcher.handles.process)) {
      // It may have confirmed just before it ended, after the check above.
      confirmed = PathExists(confirmation);
      break;
    }
    ++i;
    progress.Progress(Title, Detail, static_cast<std::uint64_t>(i), total);
    ::Sleep(limits.healthyStartCheckInterval);
  }

  if (!confirmed) {
    // A running executable cannot be replaced, nor can a directory that a
    // process works in be renamed, so the rollback needs the unconfirmed
    // launcher gone, and the runner it may have started, even when the
    // launcher itself has already ended.
    EndProcessTree(launcher, limits.unconfirmedLauncherExitTimeout);
    throw UpdateError(
        "The updated launcher did not confirm a healthy start. The previous installation will "
        "be restored.");
  }
  ReleaseProcessTree(launcher);
  RemoveFileQuietly(confirmation);
  RemoveTreeQuietly(paths.backupDir);
  RemoveTreeQuietly(paths.incomingDir);
  RemoveTreeQuietly(paths.stagingDir);
  progress.Succeeded();
}
