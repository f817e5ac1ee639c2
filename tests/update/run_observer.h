// Runs whole updates in-process and gathers what can be seen from outside:
// the posted messages, the exit code, the launcher starts and the requests
// the download service received.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/progress.h"
#include "net/net_test_helpers.h"
#include "update/release_fixture.h"
#include "update/time_limits.h"
#include "update/update_run.h"

namespace release {

inline const std::wstring CheckingUpdate = L"Checking update";
inline const std::wstring CheckingInstalledLauncher = L"Checking installed launcher";
inline const std::wstring DownloadingLauncher = L"Downloading launcher update";
inline const std::wstring VerifyingLauncher = L"Verifying launcher update";
inline const std::wstring DownloadingRunner = L"Downloading runner update";
inline const std::wstring VerifyingRunner = L"Verifying runner update";
inline const std::wstring ExtractingRunner = L"Extracting runner files";
inline const std::wstring PreparingInstallation = L"Preparing installation";
inline const std::wstring InstallingLauncher = L"Installing launcher";
inline const std::wstring InstallingRunner = L"Installing runner";
inline const std::wstring StartingLauncher = L"Starting VORN Launcher";

inline const std::wstring HealthyStartFailed =
    L"The updated launcher did not confirm a healthy start. The previous installation will be "
    L"restored.";

// The titles a run shows, in order, for what it does.
struct Steps {
  bool checkInstalledLauncher = false;
  bool launcher = true;
  bool runner = true;
  bool prepare = false;
  bool install = true;
};
inline std::vector<std::wstring> ExpectedTitles(const Steps& steps) {
  std::vector<std::wstring> titles{CheckingUpdate};
  if (steps.checkInstalledLauncher) titles.push_back(CheckingInstalledLauncher);
  if (steps.launcher) titles.insert(titles.end(), {DownloadingLauncher, VerifyingLauncher});
  if (steps.runner) {
    titles.insert(titles.end(), {DownloadingRunner, VerifyingRunner, ExtractingRunner});
  }
  if (steps.prepare) titles.push_back(PreparingInstallation);
  if (!steps.install) return titles;
  if (steps.launcher) titles.push_back(InstallingLauncher);
  if (steps.runner) titles.push_back(InstallingRunner);
  titles.push_back(StartingLauncher);
  return titles;
}

// Short enough for many runs, long enough for a started program under Wine
// to confirm: a confirming launcher ends the checks early.
inline UpdateTimeLimits ShortLimits() {
  UpdateTimeLimits limits;
  limits.launcherExitTimeout = 2000;
  limits.healthyStartChecks = 50;
  limits.healthyStartCheckInterval = 200;
  limits.unconfirmedLauncherExitTimeout = 2000;
  limits.toolTimeout = 60000;
  return limits;
}

// For launchers that never confirm: every check is spent.
inline UpdateTimeLimits AllChecksSpentLimits() {
  UpdateTimeLimits limits = ShortLimits();
  limits.healthyStartChecks = 10;
  return limits;
}

// A folder name on the service unique to the running test and case.
inline std::wstring ReleaseName(int index = 0) {
  return nettest::UniqueTag() + L"-" + std::to_wstring(index);
}

struct Observed {
  Outcome outcome;
  std::vector<std::wstring> titles;
  int exitCode = 1;
  std::vector<LaunchRecord> launches;
  std::vector<nettest::RecordedRequest> requests;
  bool launchersEnded = false;
};

// One run with the launcher stand-in behaving as `behaviour` and logging to
// `log`. Observes only after every program started from `installDir` has
// ended, so the launcher log is complete and nothing is left running.
inline Observed RunObserved(const std::wstring& commandLine, const UpdateTimeLimits& limits,
                            const std::filesystem::path& installDir,
                            const std::filesystem::path& log, const std::wstring& behaviour,
                            const std::wstring& releaseName) {
  Observed observed;
  UpdaterExitCode = 1;
  {
    const test::ScopedEnvironment launcher(L"VORN_LAUNCHER_STANDIN",
                                           behaviour + L" log=" + log.native());
    const test::MessageSink sink;
    RunUpdateWith(commandLine, limits);
    observed.launchersEnded = WaitForProcessesFrom(installDir, 0, 20000);
    if (!observed.launchersEnded) {
      for (const DWORD pid : ProcessesRunningFrom(installDir)) {
        const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process != nullptr) {
          ::TerminateProcess(process, 1);
          ::WaitForSingleObject(process, 10000);
          ::CloseHandle(process);
        }
      }
    }
    observed.outcome = DrainInOrder(sink);
  }
  observed.titles = Titles(observed.outcome.progress);
  observed.exitCode = UpdaterExitCode;
  UpdaterExitCode = 1;
  observed.launches = ReadLaunchLog(log);
  observed.requests = nettest::RequestsStartingWith(L"/" + releaseName + L"/");
  return observed;
}

// The usual setting of one run: the previous installation in a fresh
// directory, a release published for it and a watch on the staging area.
struct UpdateScene {
  UpdateScene(const std::wstring& hint, const std::wstring& releaseName,
              const ReleaseOptions& options = {})
      : dir(hint), installDir(WrittenPrevious(dir / L"VORN Macros")),
        published(Publish(releaseName, options)) {}

  // The run with the launcher stand-in behaving as `behaviour`.
  Observed Run(const CommandOptions& options, const UpdateTimeLimits& limits,
               const std::wstring& behaviour) const {
    return RunObserved(CommandLine(installDir, published, options), limits, installDir,
                       dir / L"launcher.log", behaviour, published.name);
  }

  test::TempDir dir;
  std::filesystem::path installDir;
  Release published;
  StagingWatch staging;

 private:
  static std::filesystem::path WrittenPrevious(const std::filesystem::path& installDir) {
    WriteTree(installDir, PreviousTree());
    return installDir;
  }
};

// The files requested, in order, each with its status.
inline std::vector<std::string> Requested(const Observed& observed) {
  std::vector<std::string> files;
  for (const nettest::RecordedRequest& request : observed.requests) {
    files.push_back(request.path.substr(request.path.rfind('/') + 1) + " " +
                    std::to_string(request.status));
  }
  return files;
}

}  // namespace release
