#include "update/healthy_start.h"

#include "common/update_error.h"
#include "fs/file_ops.h"
#include "process/launcher.h"
#include "process/tokens.h"

namespace {

constexpr const wchar_t* Title = L"Starting VORN Launcher";
constexpr const wchar_t* Detail = L"Waiting for a healthy-start confirmation...";

bool HasEnded(const KernelHandle& process) {
  return process && ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

void AwaitHealthyStart(const UpdateOptions& options, const RunPaths& paths,
                       const UpdateTimeLimits& limits, ProgressSink& progress) {
  const std::wstring token = NewGuidToken();
  const std::filesystem::path confirmation = paths.installDir / (ConfirmationPrefix + token);
  RemoveFileQuietly(confirmation);

  ProcessHandles launcher = StartLauncher(options.installDir, token);

  const auto total = static_cast<std::uint64_t>(limits.healthyStartChecks);
  progress.Progress(Title, Detail, 0, total);
  bool confirmed = false;
  bool ended = false;
  for (int i = 0; i < limits.healthyStartChecks;) {
    if (PathExists(confirmation)) {
      confirmed = true;
      break;
    }
    if (HasEnded(launcher.process)) {
      // It may have confirmed just before it ended, after the check above.
      confirmed = PathExists(confirmation);
      ended = true;
      break;
    }
    ++i;
    progress.Progress(Title, Detail, static_cast<std::uint64_t>(i), total);
    ::Sleep(limits.healthyStartCheckInterval);
  }

  if (!confirmed && !ended && launcher.process) {
    // A running executable can be neither deleted nor replaced, so the
    // rollback needs the unconfirmed launcher gone.
    ::TerminateProcess(launcher.process.get(), 1);
    ::WaitForSingleObject(launcher.process.get(), limits.unconfirmedLauncherExitTimeout);
  }
  launcher.thread.reset();
  launcher.process.reset();

  if (!confirmed) {
    throw UpdateError(
        "The updated launcher did not confirm a healthy start. The previous installation will "
        "be restored.");
  }
  RemoveFileQuietly(confirmation);
  RemoveTreeQuietly(paths.backupDir);
  RemoveTreeQuietly(paths.incomingDir);
  RemoveTreeQuietly(paths.stagingDir);
  progress.Succeeded();
}
