#include "update/install_transaction.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "process/child_process.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// The message of a failed move, which must name the move's two paths.
std::string RenameFailure(const std::function<void()>& action, const fs::path& from,
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

// Swapping the incoming components in and then restoring the backup brings
// back exactly what was installed, whatever stops the swap or the restore.
TEST(SwapInAndRestore, LeaveThePreviousInstallationInPlace) {
  struct Case {
    const char* description;
    bool installed;            // a previous launcher and runner are there
    bool runnerBlocked;        // the runner cannot move into the backup
    bool newLauncherRunning;   // the new launcher runs on when the restore begins
  };
  const Case cases[] = {
      {"both swapped, then restored", true, false, false},
      {"runner cannot move aside: the launcher comes back", true, true, false},
      {"first installation: the new files go", false, false, false},
      {"new launcher still running: the runner still comes back", true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    const test::TempDir dir;
    RunPaths paths;
    paths.installDir = dir / L"VORN Macros";
    paths.backupDir = paths.installDir / L".update-backup-0123456789ABCDEF0123456789ABCDEF";
    paths.incomingDir = paths.installDir / L".update-new-0123456789ABCDEF0123456789ABCDEF";
    fs::create_directories(paths.backupDir);
    if (c.installed) {
      test::WriteBytes(paths.InstalledLauncher(), "launcher 1");
      test::WriteBytes(paths.InstalledRunner() / L"run.exe", "runner 1");
    }
    fs::create_directories(paths.incomingDir);
    fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), paths.IncomingLauncher());
    test::WriteBytes(paths.IncomingRunner() / L"run.exe", "runner 2");
    if (c.runnerBlocked) test::WriteBytes(paths.BackupRunner() / L"in the way.txt", "x");

    SwapState state;
    const std::string swapFailure = RenameFailure([&] { SwapIn({true, true}, paths, state); },
                                                  paths.InstalledRunner(), paths.BackupRunner());
    EXPECT_EQ(swapFailure == "no failure", !c.runnerBlocked) << swapFailure;
    EXPECT_EQ(state.movingAsideFailed, c.runnerBlocked);
    if (!c.runnerBlocked) {
      EXPECT_EQ(test::ReadBytes(paths.InstalledRunner() / L"run.exe"), "runner 2");
    }
    ProcessHandles running;
    if (c.newLauncherRunning) {
      running = StartChildProcess(L"\"" + paths.InstalledLauncher().native() +
                                      L"\" --standin-sleep 600000",
                                  0, nullptr);
      ASSERT_TRUE(running.process);
    }

    const std::string restoreFailure =
        RenameFailure([&] { RestoreFromBackup(paths, state); }, paths.BackupLauncher(),
                      paths.InstalledLauncher());

    EXPECT_EQ(restoreFailure == "no failure", !c.newLauncherRunning) << restoreFailure;
    EXPECT_FALSE(PathExists(paths.incomingDir));
    if (c.installed) {
      EXPECT_EQ(test::ReadBytes(c.newLauncherRunning ? paths.BackupLauncher()
                                                     : paths.InstalledLauncher()),
                "launcher 1");
      EXPECT_EQ(test::ReadBytes(paths.InstalledRunner() / L"run.exe"), "runner 1");
    } else {
      EXPECT_FALSE(PathExists(paths.InstalledLauncher()));
      EXPECT_FALSE(PathExists(paths.InstalledRunner()));
    }
    if (running.process) {
      ::TerminateProcess(running.process.get(), 1);
      ::WaitForSingleObject(running.process.get(), 20000);
    }
  }
}

}  // namespace
