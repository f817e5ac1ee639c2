#include "update/install_transaction.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "process/child_process.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// An installation with a launcher and a runner, its backup directory made.
struct Place {
  explicit Place(const test::TempDir& dir) {
    paths.installDir = dir / L"VORN Macros";
    paths.stagingDir = dir / L"staging";
    paths.backupDir = paths.installDir / L".update-backup-0123456789ABCDEF0123456789ABCDEF";
    fs::create_directories(paths.backupDir);
  }
  RunPaths paths;
};

std::string FailureNaming(const std::function<void()>& action, const fs::path& from,
                          const fs::path& to) {
  try {
    action();
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.path1(), from);
    EXPECT_EQ(error.path2(), to);
    return error.what();
  }
  return "no failure";
}

// When the runner cannot be moved aside after the launcher was, the launcher
// comes back: the product is never left without one.
TEST(MoveAsideInstalled, UndoesTheLauncherMoveWhenTheRunnerCannotMove) {
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
      {"runner blocked but not replaced", {true, false}, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    const test::TempDir dir;
    const Place place(dir);
    const RunPaths& paths = place.paths;
    test::WriteBytes(paths.InstalledLauncher(), "launcher 1");
    test::WriteBytes(paths.InstalledRunner() / L"run.exe", "runner 1");
    if (c.runnerBlocked) test::WriteBytes(paths.BackupRunner() / L"in the way.txt", "x");

    const std::string failure = FailureNaming([&] { MoveAsideInstalled(c.plan, paths); },
                                              paths.InstalledRunner(), paths.BackupRunner());

    EXPECT_EQ(failure == "no failure", !(c.runnerBlocked && c.plan.updateRunner)) << failure;
    EXPECT_EQ(test::ReadBytes(c.launcherAside ? paths.BackupLauncher() : paths.InstalledLauncher()),
              "launcher 1");
    EXPECT_EQ(PathExists(paths.InstalledLauncher()), !c.launcherAside);
    EXPECT_EQ(test::ReadBytes((c.runnerAside ? paths.BackupRunner() : paths.InstalledRunner()) /
                              L"run.exe"),
              "runner 1");
  }
}

// A move back that fails (here onto a launcher still running) does not stop
// the other one; the first failure is reported and nothing is restarted.
TEST(RestoreFromBackup, PutsBackWhatItCan) {
  for (const bool launcherRunning : {false, true}) {
    SCOPED_TRACE(launcherRunning);
    const test::TempDir dir;
    const Place place(dir);
    const RunPaths& paths = place.paths;
    fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), paths.InstalledLauncher());
    test::WriteBytes(paths.InstalledRunner() / L"run.exe", "runner 2");
    test::WriteBytes(paths.BackupLauncher(), "launcher 1");
    test::WriteBytes(paths.BackupRunner() / L"run.exe", "runner 1");
    ProcessHandles running;
    if (launcherRunning) {
      running = StartChildProcess(L"\"" + paths.InstalledLauncher().native() +
                                      L"\" --standin-sleep 600000",
                                  0, nullptr);
      ASSERT_TRUE(running.process);
    }

    const std::string failure = FailureNaming([&] { RestoreFromBackup({true, true}, paths); },
                                              paths.BackupLauncher(), paths.InstalledLauncher());

    EXPECT_EQ(failure == "no failure", !launcherRunning) << failure;
    EXPECT_EQ(test::ReadBytes(paths.InstalledRunner() / L"run.exe"), "runner 1");
    EXPECT_EQ(test::ReadBytes(launcherRunning ? paths.BackupLauncher() : paths.InstalledLauncher()),
              "launcher 1");
    if (running.process) {
      ::TerminateProcess(running.process.get(), 1);
      ::WaitForSingleObject(running.process.get(), 20000);
    }
  }
}

}  // namespace
