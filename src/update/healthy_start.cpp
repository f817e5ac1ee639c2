#include "update/healthy_start.h"

#include "app/progress.h"
#include "fs/file_ops.h"
#include "process/launcher.h"
#include "process/tokens.h"
#include "update/scoped_handle.h"
#include "update/update_error.h"

namespace {

constexpr const wchar_t* Title = L"Starting VORN Launcher";
constexpr const wchar_t* Detail = L"Waiting for a healthy-start confirmation...";

bool HasEnded(const KernelHandle& process) {
  return process && ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

void AwaitHealthyStart(const UpdateOptions& options, const RunPaths& paths,
                       const UpdateTimeLimits& limits) {
  const std::wstring token = NewGuidToken();
  const std::filesystem::path confirmation = paths.installDir / (ConfirmationPrefix + token);
  RemoveFileQuietly(confirmation);

  const PROCESS_INFORMATION started = StartLauncher(options.installDir, token);
  // Destroyed in reverse order: the thread handle is closed before the process.
  KernelHandle process(started.hProcess);
  KernelHandle thread(started.hThread);

  const auto total = static_cast<std::uint64_t>(limits.healthyStartChecks);
  PostProgress(Title, Detail, 0, total);
  bool confirmed = false;
  bool ended = false;
  for (int i = 0; i < limits.healthyStartChecks;) {
    if (PathExists(confirmation)) {
      confirmed = true;
      break;
    }
    if (HasEnded(process)) {
      // It may have confirmed just before it ended, after the check above.
      confirmed = PathExists(confirmation);
      ended = true;
      break;
    }
    ++i;
    PostProgress(Title, Detail, static_cast<std::uint64_t>(i), total);
    ::Sleep(limits.healthyStartCheckInterval);
  }

  if (!confirmed && !ended && process) {
    // A running executable can be neither deleted nor replaced, so the
    // rollback needs the unconfirmed launcher gone.
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), limits.unconfirmedLauncherExitTimeout);
  }
  thread.reset();
  process.reset();

  if (!confirmed) {
    throw UpdateError(
        "The updated launcher did not confirm a healthy start. The previous installation will "
        "be restored.");
  }
  RemoveFileQuietly(confirmation);
  RemoveTreeQuietly(paths.backupDir);
  RemoveTreeQuietly(paths.stagingDir);
  ReportSuccess();
}
