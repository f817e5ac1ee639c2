#include "update/update_run.h"

#include <windows.h>

#include <exception>
#include <optional>
#include <utility>

#include "cli/command_line.h"
#include "cli/option_scanner.h"
#include "common/system_message.h"
#include "common/update_error.h"
#include "crypto/sha256.h"
#include "crypto/signature.h"
#include "fs/file_ops.h"
#include "manifest/release_manifest.h"
#include "net/download.h"
#include "process/launcher.h"
#include "process/running_processes.h"
#include "process/tokens.h"
#include "update/install_transaction.h"
#include "update/installed_state.h"
#include "update/run_paths.h"
#include "update/runner_staging.h"

namespace {

InstallPlan MakePlan(const UpdateOptions& options, const ReleaseManifest& manifest,
                     const RunPaths& paths, ProgressSink& progress) {
  InstallPlan plan;
  plan.updateLauncher =
      options.launcher &&
      (!options.repair || !IsLauncherCurrent(paths.InstalledLauncher(), manifest, progress));
  plan.updateRunner =
      options.runner && (!options.repair || !IsRunnerCurrent(paths.InstalledRunner(), manifest));
  return plan;
}

// A working directory blocks the rename of the directory it lies in, and the
// updater may have been started from inside the installation (a runner's
// "check for updates"). It works from the system directory instead; a
// relative installation directory keeps meaning what it meant where the
// updater was started.
void LeaveStartingDirectory(UpdateOptions& options) {
  if (!std::filesystem::path(options.installDir).is_absolute()) {
    options.installDir = std::filesystem::absolute(options.installDir).native();
  }
  if (const std::optional<std::filesystem::path> systemDir = SystemDirectory()) {
    ::SetCurrentDirectoryW(systemDir->c_str());
  }
}

// A staged program, held so that it stays as checked until its copy, once
// it is known to be signed by `publisher`; nothing to check or hold without
// one. Throws `UpdateError` before anything installed is touched.
FileHandle CheckedBy(const std::optional<Signer>& publisher, const std::filesystem::path& file) {
  if (!publisher) {
    return {};
  }
  FileHandle held = OpenUnchanging(file);
  const std::optional<Signer> signer = VerifiedSigner(held, file);
  if (!signer || !signer->IsSameAs(*publisher)) {
    throw UpdateError("The update is not signed by the publisher of the installed VORN Launcher.");
  }
  return held;
}

void PerformUpdate(UpdateOptions options, const UpdateTimeLimits& limits,
                   ProgressSink& progress) {
  LeaveStartingDirectory(options);
  // Opened before anything else: process ids are reused, and by the time the
  // downloads are done the id may name another program.
  const KernelHandle launcher = OpenProcessToWaitFor(options.launcherPid);
  RunPaths paths;
  paths.installDir = options.installDir;
  EnsureDirectory(paths.installDir);
  paths.stagingDir = TemporaryDirectory() / (StagingPrefix + NewGuidToken());
  const std::wstring installToken = NewGuidToken();
  paths.backupDir = paths.installDir / (BackupPrefix + installToken);
  paths.incomingDir = paths.installDir / (IncomingPrefix + installToken);
  EnsureDirectory(paths.stagingDir);
  // The publisher whose signature a new launcher and run.exe must carry, read
  // from the machine before anything downloaded is trusted: the installed
  // launcher's signer. None, and the manifest's digests alone are trusted,
  // when there is no installed launcher, or it is unsigned, or its signature
  // no longer verifies: a repair must still mend it.
  const std::optional<Signer> publisher = VerifiedSigner(paths.InstalledLauncher());

  progress.Progress(L"Checking update", L"Downloading version and SHA-256 information...", 0, 1);
  const ReleaseManifest manifest = ParseReleaseManifest(FetchManifestText(options.manifestUrl));

  const InstallPlan plan = MakePlan(options, manifest, paths, progress);
  if (!plan.updateLauncher && !plan.updateRunner) {
    RestartLauncher(options.installDir);
    RemoveTreeQuietly(paths.stagingDir);
    progress.Succeeded();
    return;
  }

  CheckedFiles checked;
  if (plan.updateLauncher) {
    DownloadToFile(BuildDownloadUrl(options, LauncherExeName), paths.StagedLauncher(),
                   manifest.launcherSize, L"Downloading launcher update", progress);
    VerifyFileSha256(paths.StagedLauncher(), manifest.launcherSha256,
                     L"Verifying launcher update", progress);
    checked.launcher = CheckedBy(publisher, paths.StagedLauncher());
  }
  if (plan.updateRunner) {
    DownloadToFile(BuildDownloadUrl(options, RunnerArchiveName), paths.StagedArchive(),
                   manifest.runnerSize, L"Downloading runner update", progress);
    VerifyFileSha256(paths.StagedArchive(), manifest.runnerSha256, L"Verifying runner update",
                     progress);
    ExtractRunnerArchive(paths.StagedArchive(), paths.StagedRunner(), SystemDirectory(),
                         limits.toolTimeout, progress);
    checked.runExe = CheckedBy(publisher, paths.StagedRunner() / RunnerExeName);
  }
  RunInstallTransaction(options, manifest, plan, paths, std::move(checked), launcher, limits,
                        progress);
}

}  // namespace

void RunUpdateWith(const std::wstring& commandLine, const UpdateTimeLimits& limits,
                   ProgressSink& progress) {
  try {
    PerformUpdate(ParseCommandLineText(commandLine), limits, progress);
  } catch (const std::exception& error) {
    progress.Failed(Utf8Message(error));
  } catch (...) {
    // Nothing of ours throws anything else, but the window must still learn
    // the outcome; it shows its generic text for a report without message.
    progress.Failed(std::nullopt);
  }
}

void RunUpdate(ProgressSink& progress) {
  RunUpdateWith(::GetCommandLineW(), UpdateTimeLimits{}, progress);
}
