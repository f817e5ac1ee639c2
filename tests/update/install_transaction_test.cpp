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

// A program of ours that runs on, as the product's launcher or runner would.
ProcessHandles StartSleeper(const fs::path& program, const fs::path& workingDir) {
  return StartChildProcess(test::SleeperCommandLine(program), 0, workingDir.c_str());
}

// Swapping the incoming components in and then restoring the backup brings
// back exactly what was installed, whatever stops the swap, and never leaves
// a runner partly deleted when a process holds it.
TEST(SwapInAndRestore, LeaveThePreviousInstallationInPlace) {
  enum class Stop { None, MoveAside, IncomingRename };
  struct Case {
    const char* description;
    bool installed;           // a previous launcher and runner are there
    Stop swapStops;           // which rename of the runner's swap fails
    bool newLauncherRunning;  // the new launcher runs on when the restore begins
    bool newRunnerHeld;       // a process works in the new Runner during the restore
  };
  const Case cases[] = {
      {"both swapped, then restored", true, Stop::None, false, false},
      {"runner cannot move aside: the launcher comes back", true, Stop::MoveAside, false, false},
      {"new runner cannot take its place: the previous one comes back", true,
       Stop::IncomingRename, false, false},
      {"first installation: the new files go", false, Stop::None, false, false},
      {"new launcher still running: the runner still comes back", true, Stop::None, true, false},
      {"new runner held: both runners stay whole", true, Stop::None, false, true},
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
    if (c.swapStops != Stop::IncomingRename) {
      test::WriteBytes(paths.IncomingRunner() / L"run.exe", "runner 2");
      test::WriteBytes(paths.IncomingRunner() / L"lib\\new.txt", "new");
    }
    if (c.swapStops == Stop::MoveAside) {
      test::WriteBytes(paths.BackupRunner() / L"in the way.txt", "x");
    }

    SwapState state;
    const bool incomingStops = c.swapStops == Stop::IncomingRename;
    const std::string swapFailure = RenameFailure(
        [&] { SwapIn({true, true}, paths, 0, state); },
        incomingStops ? paths.IncomingRunner() : paths.InstalledRunner(),
        incomingStops ? paths.InstalledRunner() : paths.BackupRunner());
    EXPECT_EQ(swapFailure == "no failure", c.swapStops == Stop::None) << swapFailure;
    EXPECT_EQ(state.movingAsideFailed, c.swapStops == Stop::MoveAside);
    ProcessHandles running;
    if (c.newLauncherRunning) {
      running = StartSleeper(paths.InstalledLauncher(), paths.installDir);
    }
    if (c.newRunnerHeld) {
      running = StartSleeper(test::StandinPath(L"VORNLauncher.exe"), paths.InstalledRunner());
    }
    ASSERT_EQ(bool(running.process), c.newLauncherRunning || c.newRunnerHeld);

    const std::string restoreFailure = RenameFailure(
        [&] { RestoreFromBackup(paths, state, 200); },
        c.newRunnerHeld ? paths.InstalledRunner() : paths.BackupLauncher(),
        c.newRunnerHeld ? paths.IncomingRunner() : paths.InstalledLauncher());

    EXPECT_EQ(restoreFailure == "no failure", !c.newLauncherRunning && !c.newRunnerHeld)
        << restoreFailure;
    EXPECT_FALSE(PathExists(paths.incomingDir));
    if (!c.installed) {
      EXPECT_FALSE(PathExists(paths.InstalledLauncher()));
      EXPECT_FALSE(PathExists(paths.InstalledRunner()));
    } else if (c.newRunnerHeld) {
      EXPECT_EQ(test::ReadBytes(paths.InstalledRunner() / L"lib\\new.txt"), "new");
      EXPECT_EQ(test::ReadBytes(paths.BackupRunner() / L"run.exe"), "runner 1");
    } else {
      EXPECT_EQ(test::ReadBytes(paths.InstalledRunner() / L"run.exe"), "runner 1");
    }
    if (c.installed) {
      EXPECT_EQ(test::ReadBytes(c.newLauncherRunning ? paths.BackupLauncher()
                                                     : paths.InstalledLauncher()),
                "launcher 1");
    }
    if (running.process) {
      ::TerminateProcess(running.process.get(), 1);
      ::WaitForSingleObject(running.process.get(), 20000);
    }
  }
}

}  // namespace
