#include "update/update_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fs/paths.h"
#include "update/install_transaction.h"
#include "update/run_observer.h"

namespace fs = std::filesystem;
using namespace release;

namespace {

const std::string ManifestOk = "manifest.json 200";
const std::string LauncherOk = "VORNLauncher.exe 200";
const std::string RunnerOk = "VORNRunner.zip 200";

// Every run may set the process-wide exit code; each test starts and ends
// with the value a fresh process has.
class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override { UpdaterExitCode = 1; }
  void TearDown() override { UpdaterExitCode = 1; }
};
class UpdateRunInstall : public UpdateRunTest {};
class UpdateRunFailure : public UpdateRunTest {};
class UpdateRunRollback : public UpdateRunTest {};
class UpdateRunLauncherWait : public UpdateRunTest {};
class InstallTransaction : public UpdateRunTest {};

// The one handshake start, with a fresh token, from the installation.
void ExpectOneTokenStart(const Observed& observed, const fs::path& installDir,
                         const std::string& description) {
  ASSERT_EQ(observed.launches.size(), 1u) << description;
  const LaunchRecord& start = observed.launches[0];
  EXPECT_TRUE(IsToken(start.token)) << description << ": " << start.token;
  EXPECT_EQ(start.cmdline, LauncherCommand(installDir, start.token)) << description;
  EXPECT_EQ(start.cwd, installDir.string()) << description;
}

std::vector<std::string> Commands(const std::vector<LaunchRecord>& launches) {
  std::vector<std::string> commands;
  for (const LaunchRecord& launch : launches) commands.push_back(launch.cmdline);
  return commands;
}

void ExpectSuccess(const Observed& observed, const std::string& description) {
  EXPECT_EQ(observed.outcome.finishedCount, 1) << description;
  EXPECT_TRUE(observed.outcome.finishedLast) << description;
  EXPECT_TRUE(observed.outcome.success) << description;
  EXPECT_FALSE(observed.outcome.hasMessage) << description;
  EXPECT_EQ(observed.exitCode, 0) << description;
  EXPECT_TRUE(observed.launchersEnded) << description;
}

void ExpectFailure(const Observed& observed, const std::wstring& message,
                   const std::string& description) {
  EXPECT_EQ(observed.outcome.finishedCount, 1) << description;
  EXPECT_TRUE(observed.outcome.finishedLast) << description;
  EXPECT_FALSE(observed.outcome.success) << description;
  EXPECT_EQ(observed.outcome.message, message) << description;
  EXPECT_EQ(observed.exitCode, 1) << description;
  EXPECT_TRUE(observed.launchersEnded) << description;
}

// A committed run leaves neither its backup nor the confirmation behind.
void ExpectCommitted(const fs::path& installDir, const StagingWatch& staging,
                     const std::string& description) {
  EXPECT_TRUE(NamesStartingWith(installDir, BackupPrefix).empty()) << description;
  EXPECT_TRUE(NamesStartingWith(installDir, ConfirmationPrefix).empty()) << description;
  EXPECT_TRUE(staging.Added().empty()) << description;
}

Tree WithLauncher(Tree tree, const std::string& launcher) {
  tree[LauncherFileName().string()] = launcher;
  return tree;
}

// `tree` with its runner taken from `from`.
Tree WithRunnerOf(Tree tree, const Tree& from) {
  const std::string prefix = RunnerDirName().string();
  std::erase_if(tree, [&](const auto& item) { return item.first.starts_with(prefix); });
  for (const auto& [path, content] : from) {
    if (path.starts_with(prefix)) tree[path] = content;
  }
  return tree;
}

// A confirmed run that replaced exactly the named components of `before`,
// having downloaded only their payloads.
void ExpectInstalled(const Observed& observed, const fs::path& installDir,
                     const StagingWatch& staging, const Tree& before, const Release& published,
                     bool launcher, bool runner, const std::string& description) {
  ExpectSuccess(observed, description);
  Tree expected = before;
  if (launcher) expected = WithLauncher(expected, published.launcher);
  if (runner) expected = WithRunnerOf(expected, ReleaseTree(published));
  EXPECT_TRUE(SameTree(Snapshot(installDir), expected)) << description;
  ExpectCommitted(installDir, staging, description);
  ExpectOneTokenStart(observed, installDir, description);
  std::vector<std::string> requests{ManifestOk};
  if (launcher) requests.push_back(LauncherOk);
  if (runner) requests.push_back(RunnerOk);
  EXPECT_EQ(Requested(observed), requests) << description;
}

// Splits off the backup directory (exactly one expected) and returns its name.
std::string TakeBackupDirectory(Tree& tree) {
  std::string found;
  for (auto it = tree.begin(); it != tree.end();) {
    if (it->first.starts_with(".update-backup-")) {
      if (it->first.find('/') == std::string::npos) {
        EXPECT_TRUE(found.empty()) << "two backup directories";
        EXPECT_EQ(it->second, DirectoryMark);
        found = it->first;
      } else {
        ADD_FAILURE() << "backup directory not empty: " << it->first;
      }
      it = tree.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

// ---------------------------------------------------------------------------

TEST_F(UpdateRunInstall, InstallsBothComponentsAndCommitsOnConfirmation) {
  struct Case {
    const char* description;
    bool previous;
    bool createDir;
    const wchar_t* installSubdir;
    bool secure;
  };
  const Case cases[] = {
      {"over an older installation, HTTPS", true, true, L"VORN Macros", true},
      {"over an older installation, HTTP", true, true, L"VORN Macros", false},
      {"first installation into an empty directory", false, true, L"VORN Macros", true},
      {"first installation into a missing directory", false, false,
       L"not yet there\\VORN Macros", true},
  };
  int index = 0;
  for (const Case& c : cases) {
    const test::TempDir dir(L"O'Brien's files");
    const fs::path installDir = dir / c.installSubdir;
    if (c.previous) {
      WriteTree(installDir, PreviousTree());
    } else if (c.createDir) {
      fs::create_directories(installDir);
    }
    const Release published = Publish(ReleaseName(index++));
    const StagingWatch staging;

    const Observed observed =
        RunObserved(CommandLine(installDir, published, {.secure = c.secure}), ShortLimits(),
                    installDir, dir / L"launcher log.txt", L"confirm:0", published.name);

    ExpectSuccess(observed, c.description);
    EXPECT_TRUE(SameTree(Snapshot(installDir), ReleaseTree(published))) << c.description;
    ExpectCommitted(installDir, staging, c.description);
    ExpectOneTokenStart(observed, installDir, c.description);
    EXPECT_EQ(Requested(observed), (std::vector{ManifestOk, LauncherOk, RunnerOk}))
        << c.description;
    EXPECT_EQ(observed.titles, ExpectedTitles({})) << c.description;
  }
}

TEST_F(UpdateRunInstall, RepairWithEverythingCurrentOnlyRestartsTheLauncher) {
  const test::TempDir dir(L"repair current");
  const fs::path installDir = dir / L"VORN Macros";
  const Release published = Publish(ReleaseName());
  WriteTree(installDir, CurrentTree(published));
  const StagingWatch staging;

  const Observed observed = RunObserved(
      CommandLine(installDir, published, {.repair = true, .secure = false}), ShortLimits(),
      installDir, dir / L"launcher.log", L"confirm:0", published.name);

  ExpectSuccess(observed, "");
  EXPECT_TRUE(SameTree(Snapshot(installDir), CurrentTree(published)));
  ExpectCommitted(installDir, staging, "");
  EXPECT_EQ(Requested(observed), std::vector{ManifestOk});
  ASSERT_EQ(observed.launches.size(), 1u);
  EXPECT_EQ(observed.launches[0].token, "");
  EXPECT_EQ(observed.launches[0].cmdline, LauncherCommand(installDir, ""));
  EXPECT_EQ(observed.launches[0].cwd, installDir.string());
  EXPECT_EQ(observed.titles, (std::vector{CheckingUpdate, CheckingInstalledLauncher}));
}

TEST_F(UpdateRunInstall, ReplacesExactlyWhatIsNotCurrent) {
  struct Case {
    const char* description;
    bool repair;
    std::function<void(Tree&, const Release&)> changeInstalled;
    bool launcherUpdated;
    bool runnerUpdated;
  };
  const std::string runExe = RunnerDirName().string() + "/" + "run.exe";
  const std::string stamp = RunnerDirName().string() + "/" + RunnerStampFileName().string();
  const Case cases[] = {
      {"repair, launcher of another version", true,
       [](Tree& tree, const Release&) { tree = WithLauncher(tree, LauncherBytes("\nVERSION 1")); },
       true, false},
      {"repair, runner stamp of another version", true,
       [&](Tree& tree, const Release&) { tree[stamp] = PreviousTree()[stamp]; }, false, true},
      {"repair, stamp with the version but another digest", true,
       [&](Tree& tree, const Release& r) {
         ReleaseManifest other = r.manifest;
         other.runnerSha256 = std::wstring(64, L'e');
         tree[stamp] = StampFor(other);
       },
       false, true},
      {"repair, run.exe missing", true, [&](Tree& tree, const Release&) { tree.erase(runExe); },
       false, true},
      {"repair, no launcher installed", true,
       [](Tree& tree, const Release&) { tree.erase(LauncherFileName().string()); }, true, false},
      {"without repair, both current", false, [](Tree&, const Release&) {}, true, true},
  };
  int index = 0;
  for (const Case& c : cases) {
    const test::TempDir dir(L"what is current");
    const fs::path installDir = dir / L"VORN Macros";
    const Release published = Publish(ReleaseName(index++));
    Tree installed = CurrentTree(published);
    c.changeInstalled(installed, published);
    WriteTree(installDir, installed);
    const StagingWatch staging;

    const Observed observed =
        RunObserved(CommandLine(installDir, published, {.repair = c.repair}), ShortLimits(),
                    installDir, dir / L"launcher.log", L"confirm:0", published.name);

    ExpectInstalled(observed, installDir, staging, installed, published, c.launcherUpdated,
                    c.runnerUpdated, c.description);
    const bool launcherChecked = c.repair && installed.contains(LauncherFileName().string());
    EXPECT_EQ(observed.titles, ExpectedTitles({.checkInstalledLauncher = launcherChecked,
                                               .launcher = c.launcherUpdated,
                                               .runner = c.runnerUpdated}))
        << c.description;
  }
}

TEST_F(UpdateRunInstall, OneComponentLeavesTheOtherAlone) {
  struct Case {
    const char* description;
    const wchar_t* components;
    bool launcher;
    bool runner;
  };
  const Case cases[] = {
      {"launcher only", L"launcher", true, false},
      {"runner only: the old launcher still confirms", L"runner", false, true},
  };
  int index = 0;
  for (const Case& c : cases) {
    const UpdateScene scene(L"one component", ReleaseName(index++));

    const Observed observed =
        scene.Run({.components = c.components}, ShortLimits(), L"confirm:0");

    ExpectInstalled(observed, scene.installDir, scene.staging, PreviousTree(), scene.published,
                    c.launcher, c.runner, c.description);
    EXPECT_EQ(observed.titles, ExpectedTitles({.launcher = c.launcher, .runner = c.runner}))
        << c.description;
  }
}

TEST_F(UpdateRunFailure, BeforeInstallingChangesNothing) {
  struct Case {
    const char* description;
    ReleaseOptions release;
    const wchar_t* manifestFile;
    std::wstring message;
    std::vector<std::string> requests;
    std::vector<std::wstring> titles;
  };
  const std::wstring digestFailed =
      L"The downloaded file failed SHA-256 verification. Nothing was installed.";
  const std::wstring sizeMismatch = L"The downloaded file size does not match the release manifest.";
  const std::vector<std::wstring> upToVerifyingLauncher{CheckingUpdate, DownloadingLauncher,
                                                        VerifyingLauncher};
  const std::vector<std::wstring> upToVerifyingRunner{CheckingUpdate, DownloadingLauncher,
                                                      VerifyingLauncher, DownloadingRunner,
                                                      VerifyingRunner};
  std::vector<std::wstring> upToExtracting = upToVerifyingRunner;
  upToExtracting.push_back(ExtractingRunner);
  const Case cases[] = {
      {"launcher digest differs: the runner is never requested",
       {.edit = [](ReleaseManifest& m) { m.launcherSha256 = std::wstring(64, L'0'); }},
       L"manifest.json", digestFailed, {ManifestOk, LauncherOk}, upToVerifyingLauncher},
      {"runner digest differs",
       {.edit = [](ReleaseManifest& m) { m.runnerSha256 = std::wstring(64, L'A'); }},
       L"manifest.json", digestFailed, {ManifestOk, LauncherOk, RunnerOk}, upToVerifyingRunner},
      {"launcher larger than announced",
       {.edit = [](ReleaseManifest& m) { m.launcherSize -= 1; }}, L"manifest.json",
       sizeMismatch, {ManifestOk, LauncherOk}, {CheckingUpdate, DownloadingLauncher}},
      {"runner archive without run.exe at its top",
       {.runnerEntries = {{"bin/", ""}, {"bin/run.exe", "x"}}}, L"manifest.json",
       L"The runner archive could not be extracted or does not contain run.exe.",
       {ManifestOk, LauncherOk, RunnerOk}, upToExtracting},
      {"manifest not on the server", {}, L"missing.json",
       L"The update server returned an HTTP error.", {"missing.json 404"}, {CheckingUpdate}},
      {"manifest with an unsupported protocol",
       {.edit = [](ReleaseManifest& m) { m.protocol = 0; }}, L"manifest.json",
       L"Invalid update manifest.", {ManifestOk}, {CheckingUpdate}},
  };
  int index = 0;
  for (const Case& c : cases) {
    const UpdateScene scene(L"fails early", ReleaseName(index++), c.release);

    const Observed observed =
        scene.Run({.manifestFile = c.manifestFile}, ShortLimits(), L"confirm:0");

    ExpectFailure(observed, c.message, c.description);
    EXPECT_TRUE(SameTree(Snapshot(scene.installDir), PreviousTree())) << c.description;
    EXPECT_TRUE(NamesStartingWith(scene.installDir, BackupPrefix).empty()) << c.description;
    // Left for looking into what was downloaded.
    EXPECT_EQ(scene.staging.Added().size(), 1u) << c.description;
    EXPECT_TRUE(observed.launches.empty()) << c.description;
    EXPECT_EQ(Requested(observed), c.requests) << c.description;
    EXPECT_EQ(observed.titles, c.titles) << c.description;
  }
}

TEST_F(UpdateRunFailure, BeforeTheManifestRequestsNothing) {
  struct Case {
    const char* description;
    bool installDirUnderFile;
    const wchar_t* components;
    std::wstring message;
  };
  const Case cases[] = {
      {"installation directory below a regular file", true, L"launcher,runner",
       L"Could not create a directory."},
      {"no known component", false, L"docs",
       L"The updater received incomplete update instructions."},
  };
  int index = 0;
  for (const Case& c : cases) {
    const test::TempDir dir(L"fails at once");
    const fs::path blocker = dir / L"a file";
    test::WriteBytes(blocker, "in the way");
    const fs::path installDir =
        c.installDirUnderFile ? blocker / L"VORN Macros" : dir / L"VORN Macros";
    const Release published = Publish(ReleaseName(index++));
    const StagingWatch staging;

    const Observed observed =
        RunObserved(CommandLine(installDir, published, {.components = c.components}),
                    ShortLimits(), installDir, dir / L"launcher.log", L"confirm:0", published.name);

    ExpectFailure(observed, c.message, c.description);
    EXPECT_EQ(test::ReadBytes(blocker), "in the way") << c.description;
    EXPECT_FALSE(fs::exists(dir / L"VORN Macros")) << c.description;
    EXPECT_TRUE(staging.Added().empty()) << c.description;
    EXPECT_TRUE(observed.requests.empty()) << c.description;
    EXPECT_TRUE(observed.launches.empty()) << c.description;
    EXPECT_TRUE(observed.titles.empty()) << c.description;
  }
}

TEST_F(UpdateRunRollback, UnconfirmedStartRestoresThePreviousInstallation) {
  struct Case {
    const char* description;
    const wchar_t* behaviour;
    UpdateTimeLimits limits;
    bool endsTheChecks;
  };
  // A launcher that ended cannot confirm any more: the checks stop with it,
  // long before this many would have run.
  UpdateTimeLimits manyChecks = ShortLimits();
  manyChecks.healthyStartChecks = 300;
  const Case cases[] = {
      {"exits at once", L"exit:3", manyChecks, true},
      {"keeps running unconfirmed: ended first", L"hang:60000", AllChecksSpentLimits(), false},
      {"confirms another token", L"wrongtoken:0", AllChecksSpentLimits(), false},
  };
  int index = 0;
  for (const Case& c : cases) {
    const UpdateScene scene(L"rolled back", ReleaseName(index++));
    const fs::path& installDir = scene.installDir;

    const ULONGLONG started = ::GetTickCount64();
    const Observed observed = scene.Run({}, c.limits, c.behaviour);
    const ULONGLONG elapsed = ::GetTickCount64() - started;

    ExpectFailure(observed, HealthyStartFailed, c.description);
    if (c.endsTheChecks) {
      EXPECT_LT(elapsed, 30000u) << c.description;
    }
    const std::string token = observed.launches.empty() ? "" : observed.launches[0].token;
    EXPECT_TRUE(IsToken(token)) << c.description;
    // Only after the previous files are back is the launcher started again.
    EXPECT_EQ(Commands(observed.launches),
              (std::vector{LauncherCommand(installDir, token), LauncherCommand(installDir, "")}))
        << c.description;

    Tree after = Snapshot(installDir);
    EXPECT_FALSE(TakeBackupDirectory(after).empty()) << c.description;
    // A launcher's confirmation for a token it was not given is its own.
    std::erase_if(after, [&](const auto& item) {
      return item.first.starts_with(".update-ok-") &&
             item.first != ".update-ok-" + token;
    });
    EXPECT_TRUE(SameTree(after, PreviousTree())) << c.description;
    EXPECT_EQ(scene.staging.Added().size(), 1u) << c.description;
    EXPECT_EQ(Requested(observed), (std::vector{ManifestOk, LauncherOk, RunnerOk}))
        << c.description;
    EXPECT_EQ(observed.titles, ExpectedTitles({})) << c.description;
  }
}

TEST_F(UpdateRunLauncherWait, ProceedsOnlyOnceTheGivenProcessHasEnded) {
  struct Case {
    const char* description;
    const wchar_t* sleepMs;  // null: no process is passed, the id is 0
    bool endedBefore;
    DWORD waitMs;
    bool closes;
    bool prepare;
  };
  const Case cases[] = {
      {"still running after the wait", L"60000", false, 2000, false, true},
      {"ends during the wait", L"500", false, 5000, true, true},
      {"ended before the run", L"0", true, 2000, true, false},
      {"id 0", nullptr, false, 2000, true, false},
  };
  int index = 0;
  for (const Case& c : cases) {
    const UpdateScene scene(L"launcher wait", ReleaseName(index++));
    const fs::path& installDir = scene.installDir;
    std::optional<StartedProcess> running;
    DWORD pid = 0;
    if (c.sleepMs != nullptr) {
      running.emplace(test::StandinPath(LauncherExeName),
                      std::wstring(L"--standin-sleep ") + c.sleepMs);
      pid = running->pid();
      ASSERT_NE(pid, 0u) << c.description;
      if (c.endedBefore) {
        ASSERT_TRUE(running->WaitForExit(20000)) << c.description;
        ASSERT_TRUE(running->Release(10000)) << c.description;
      }
    }
    UpdateTimeLimits limits = ShortLimits();
    limits.launcherExitTimeout = c.waitMs;

    const Observed observed =
        scene.Run({.passPid = true, .launcherPid = pid}, limits, L"confirm:0");

    EXPECT_EQ(Requested(observed), (std::vector{ManifestOk, LauncherOk, RunnerOk}))
        << c.description;
    if (c.closes) {
      ExpectSuccess(observed, c.description);
      EXPECT_TRUE(SameTree(Snapshot(installDir), ReleaseTree(scene.published))) << c.description;
      ExpectCommitted(installDir, scene.staging, c.description);
      ExpectOneTokenStart(observed, installDir, c.description);
      EXPECT_EQ(observed.titles, ExpectedTitles({.prepare = c.prepare})) << c.description;
    } else {
      ExpectFailure(observed, L"VORN Launcher did not close in time.", c.description);
      EXPECT_FALSE(running->WaitForExit(0)) << c.description;
      EXPECT_TRUE(SameTree(Snapshot(installDir), PreviousTree())) << c.description;
      EXPECT_TRUE(NamesStartingWith(installDir, BackupPrefix).empty()) << c.description;
      EXPECT_EQ(scene.staging.Added().size(), 1u) << c.description;
      EXPECT_TRUE(observed.launches.empty()) << c.description;
      EXPECT_EQ(observed.titles, ExpectedTitles({.prepare = true, .install = false}))
          << c.description;
    }
  }
}

// ---------------------------------------------------------------------------
// The transaction's steps with paths of the test's choosing.

struct TransactionPlace {
  explicit TransactionPlace(const test::TempDir& dir) {
    paths.installDir = dir / L"VORN Macros";
    paths.stagingDir = dir / L"staging";
    paths.backupDir = paths.installDir / L".update-backup-0123";
  }
  RunPaths paths;
};

TEST_F(InstallTransaction, MovingAsideUndoesTheLauncherMoveWhenTheRunnerCannotMove) {
  struct Case {
    const char* description;
    InstallPlan plan;
    bool runnerBlocked;
    bool launcherAside;
    bool runnerAside;
  };
  const Case cases[] = {
      {"both move", {true, true}, false, true, true},
      {"runner blocked: the launcher comes back", {true, true}, true, false, false},
      {"runner blocked, runner only", {false, true}, true, false, false},
      {"runner blocked but not replaced", {true, false}, true, true, false},
  };
  for (const Case& c : cases) {
    const test::TempDir dir(L"move aside");
    const TransactionPlace place(dir);
    const RunPaths& paths = place.paths;
    WriteTree(paths.installDir, PreviousTree());
    const Tree previous = Snapshot(paths.installDir);
    // The transaction creates it before moving anything aside.
    fs::create_directories(paths.backupDir);
    if (c.runnerBlocked) {
      test::WriteBytes(paths.BackupRunner() / L"in the way.txt", "x");
    }

    const std::string failure = test::FailureOf([&] { MoveAsideInstalled(c.plan, paths); });

    const bool fails = c.runnerBlocked && c.plan.updateRunner;
    if (fails) {
      // The runner's own rename error, not the launcher's.
      EXPECT_NE(failure.find("rename"), std::string::npos) << c.description << ": " << failure;
      EXPECT_NE(failure.find(paths.InstalledRunner().string()), std::string::npos)
          << c.description << ": " << failure;
      EXPECT_NE(failure.find(paths.BackupRunner().string()), std::string::npos)
          << c.description << ": " << failure;
    } else {
      EXPECT_EQ(failure, "no failure") << c.description;
    }
    EXPECT_EQ(fs::exists(paths.BackupLauncher()), c.launcherAside) << c.description;
    EXPECT_EQ(fs::exists(paths.InstalledLauncher()), !c.launcherAside) << c.description;
    EXPECT_TRUE(test::ReadBytes(c.launcherAside ? paths.BackupLauncher()
                                                : paths.InstalledLauncher()) ==
                previous.at(LauncherFileName().string()))
        << c.description;
    EXPECT_EQ(fs::exists(paths.InstalledRunner()), !c.runnerAside) << c.description;
    if (!c.runnerAside) {
      EXPECT_TRUE(SameTree(WithRunnerOf({}, Snapshot(paths.installDir)), WithRunnerOf({}, previous)))
          << c.description;
    }
  }
}

TEST_F(InstallTransaction, FailingToMoveAsideInstallsAndStartsNothing) {
  const test::TempDir dir(L"transaction");
  const TransactionPlace place(dir);
  const RunPaths& paths = place.paths;
  WriteTree(paths.installDir, PreviousTree());
  const Release published = Publish(ReleaseName());
  test::WriteBytes(paths.StagedLauncher(), published.launcher);
  WriteTree(paths.StagedRunner(), {{"run.exe", "new"}});
  test::WriteBytes(paths.BackupRunner() / L"in the way.txt", "x");
  UpdateOptions options;
  options.installDir = paths.installDir.native();
  options.launcher = options.runner = true;
  const fs::path log = dir / L"launcher.log";

  std::string failure;
  std::vector<std::wstring> titles;
  {
    const test::ScopedEnvironment launcher(L"VORN_LAUNCHER_STANDIN", L"confirm:0 log=" + log.native());
    const test::MessageSink sink;
    try {
      RunInstallTransaction(options, published.manifest, {true, true}, paths, ShortLimits());
      failure = "no failure";
    } catch (const fs::filesystem_error& error) {
      failure = error.what();
      EXPECT_EQ(error.path1(), paths.InstalledRunner());
      EXPECT_EQ(error.path2(), paths.BackupRunner());
    }
    EXPECT_TRUE(WaitForProcessesFrom(paths.installDir, 0, 20000));
    titles = Titles(DrainInOrder(sink).progress);
  }
  EXPECT_NE(failure.find("rename"), std::string::npos) << failure;
  Tree after = Snapshot(paths.installDir);
  std::erase_if(after, [](const auto& item) { return item.first.starts_with(".update-backup-"); });
  EXPECT_TRUE(SameTree(after, PreviousTree()));
  EXPECT_FALSE(fs::exists(paths.BackupLauncher()));
  EXPECT_TRUE(titles.empty());
  EXPECT_TRUE(ReadLaunchLog(log).empty());
}

TEST_F(InstallTransaction, RestoringPutsBackWhatItCanAndRestartsOnlyWhenComplete) {
  struct Case {
    const char* description;
    bool launcherRunning;
  };
  const Case cases[] = {
      {"everything moves back: restarted without a token", false},
      {"installed launcher still running: the runner still comes back", true},
  };
  for (const Case& c : cases) {
    const test::TempDir dir(L"restore");
    const TransactionPlace place(dir);
    const RunPaths& paths = place.paths;
    const Release published = Publish(ReleaseName());
    const Tree previous = PreviousTree();
    // Mid-transaction: the new files installed, the previous ones aside.
    WriteTree(paths.installDir, ReleaseTree(published));
    WriteTree(paths.backupDir, previous);
    std::optional<StartedProcess> running;
    if (c.launcherRunning) {
      running.emplace(paths.InstalledLauncher(), L"--standin-sleep 60000");
      ASSERT_NE(running->pid(), 0u);
    }
    const fs::path log = dir / L"launcher.log";

    std::string failure = "no failure";
    {
      const test::ScopedEnvironment launcher(L"VORN_LAUNCHER_STANDIN",
                                             L"confirm:0 log=" + log.native());
      try {
        RestoreFromBackup({true, true}, paths);
      } catch (const fs::filesystem_error& error) {
        failure = error.what();
        EXPECT_EQ(error.path1(), paths.BackupLauncher()) << c.description;
        EXPECT_EQ(error.path2(), paths.InstalledLauncher()) << c.description;
      }
      EXPECT_TRUE(WaitForProcessesFrom(paths.installDir, running ? running->pid() : 0, 20000))
          << c.description;
    }
    const std::vector<LaunchRecord> launches = ReadLaunchLog(log);
    Tree after = Snapshot(paths.installDir);
    if (c.launcherRunning) {
      EXPECT_NE(failure.find("rename"), std::string::npos) << c.description << ": " << failure;
      EXPECT_TRUE(launches.empty()) << c.description;
      EXPECT_TRUE(after.at(LauncherFileName().string()) == published.launcher) << c.description;
      EXPECT_TRUE(test::ReadBytes(paths.BackupLauncher()) ==
                  previous.at(LauncherFileName().string()))
          << c.description;
      EXPECT_TRUE(SameTree(WithRunnerOf({}, after), WithRunnerOf({}, previous))) << c.description;
      running->Kill();
    } else {
      EXPECT_EQ(failure, "no failure") << c.description;
      EXPECT_EQ(Commands(launches), std::vector{LauncherCommand(paths.installDir, "")})
          << c.description;
      EXPECT_EQ(TakeBackupDirectory(after), paths.backupDir.filename().string()) << c.description;
      EXPECT_TRUE(SameTree(after, previous)) << c.description;
    }
  }
}

}  // namespace
