#include "update/component_swap.h"

#include <gtest/gtest.h>

#include <thread>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// What a place holds: "1" the previous component, "2" the new one, "-" none.
std::string Version(const fs::path& file, const std::string& previous) {
  if (!PathExists(file)) {
    return "-";
  }
  return test::ReadBytes(file) == previous ? "1" : "2";
}

// Committing the new components and restoring the previous ones, whatever
// holds a file on the way, never leaves a place without a whole component,
// and the restore brings back what it can.
TEST(ComponentSwap, CommitAndRestoreKeepEveryComponentWhole) {
  enum class Held {
    None,
    InstalledRunner,
    InstalledLauncherRuns,
    ReadyRunnerBriefly,  // longer than a missing runner may wait, not than the long limit
    NewLauncherRuns,
    NewRunner,
    BackupRunner
  };
  struct Case {
    const char* description;
    bool installed;      // a previous launcher and runner are there
    bool readyRunner;    // the new runner is ready to be swapped in
    Held held;           // a process holds this during the commit (installed runner) or restore
    std::string commitFailure, restoreFailure;  // "from > to" of the failed rename, or ""
    std::string launcher, runner, backupLauncher, backupRunner;  // afterwards
    bool readOnlyLauncher = false;  // the previous launcher is read-only, and so when back
  };
  const Case cases[] = {
      {"read-only launcher: restored as it was", true, true, Held::None, "", "", "1", "1", "-", "-",
       true},
      {"runner held past the limit: nothing changes", true, true, Held::InstalledRunner,
       "Runner > backup\\Runner", "", "1", "1", "-", "-"},
      {"installed launcher runs past the limit: it stays, and so does its second name", true,
       true, Held::InstalledLauncherRuns, "incoming\\ok\\VORNLauncher.exe > VORNLauncher.exe", "",
       "1", "1", "1", "-"},
      {"new runner held while Runner is missing: the previous one comes back", true, true,
       Held::ReadyRunnerBriefly, "incoming\\ok\\Runner > Runner", "", "1", "1", "-", "-"},
      {"new runner cannot take its place: the previous one comes back", true, false, Held::None,
       "incoming\\ok\\Runner > Runner", "", "1", "1", "-", "-"},
      {"first installation: the new files go", false, true, Held::None, "", "", "-", "-", "-", "-"},
      {"new launcher still running: the runner still comes back", true, true,
       Held::NewLauncherRuns, "", "backup\\VORNLauncher.exe > VORNLauncher.exe", "2", "1", "1",
       "-", true},
      {"new runner held: both runners stay whole", true, true, Held::NewRunner, "",
       "Runner > incoming\\Runner", "1", "2", "-", "1"},
      {"previous runner cannot return: the new one does", true, true, Held::BackupRunner, "",
       "backup\\Runner > Runner", "1", "2", "-", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    const test::TempDir dir;
    RunPaths paths;
    paths.installDir = dir / L"VORN Macros";
    paths.backupDir = dir / L"VORN Macros\\backup";
    paths.incomingDir = dir / L"VORN Macros\\incoming";
    fs::create_directories(paths.backupDir);
    // A program: the previous launcher must run in one row.
    const std::string launcherOne = test::ReadBytes(test::StandinPath(L"VORNLauncher.exe")) + "1";
    if (c.installed) {
      test::WriteBytes(paths.InstalledLauncher(), launcherOne);
      test::WriteBytes(paths.InstalledRunner() / L"run.exe", "runner 1");
      if (c.readOnlyLauncher) {
        ::SetFileAttributesW(paths.InstalledLauncher().c_str(), FILE_ATTRIBUTE_READONLY);
      }
    }
    fs::create_directories(paths.ReadyDir());
    fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), paths.ReadyLauncher());
    if (c.readyRunner) {
      test::WriteBytes(paths.ReadyRunner() / L"run.exe", "runner 2");
    }
    const auto failure = [&](const std::function<void()>& action) -> std::string {
      try {
        action();
      } catch (const fs::filesystem_error& error) {
        return fs::relative(error.path1(), paths.installDir).string() + " > " +
               fs::relative(error.path2(), paths.installDir).string();
      }
      return "";
    };
    // A program of ours that runs on, as the product or something outside it would.
    ProcessHandles holder;
    std::thread release;
    if (c.held == Held::InstalledRunner) {
      holder = test::StartHolder(test::StandinPath(L"VORNLauncher.exe"), paths.InstalledRunner());
    } else if (c.held == Held::InstalledLauncherRuns) {
      holder = test::StartHolder(paths.InstalledLauncher(), paths.installDir);
    } else if (c.held == Held::ReadyRunnerBriefly) {
      holder = test::StartHolder(test::StandinPath(L"VORNLauncher.exe"), paths.ReadyRunner());
      release = std::thread([process = holder.process.get()] {
        ::Sleep(400);
        ::TerminateProcess(process, 1);
      });
    }
    ComponentSwap swap(paths);
    HeldFileWaits waits(1000, 100, nullptr);
    EXPECT_EQ(failure([&] { swap.Commit({true, true}, waits); }), c.commitFailure);
    if (release.joinable()) {
      release.join();
      ::WaitForSingleObject(holder.process.get(), 20000);
    }
    // Whatever failed, the launcher never left its place.
    if (c.installed) {
      EXPECT_NE(Version(paths.InstalledLauncher(), launcherOne), "-");
    }
    if (c.held == Held::NewLauncherRuns) {
      holder = test::StartHolder(paths.InstalledLauncher(), paths.installDir);
    } else if (c.held == Held::NewRunner) {
      holder = test::StartHolder(test::StandinPath(L"VORNLauncher.exe"), paths.InstalledRunner());
    } else if (c.held == Held::BackupRunner) {
      holder = test::StartHolder(test::StandinPath(L"VORNLauncher.exe"), paths.BackupRunner());
    }
    HeldFileWaits restoreWaits(300, 100, nullptr);
    EXPECT_EQ(failure([&] { swap.Restore(restoreWaits); }), c.restoreFailure);

    EXPECT_EQ(Version(paths.InstalledLauncher(), launcherOne), c.launcher);
    EXPECT_EQ(Version(paths.InstalledRunner() / L"run.exe", "runner 1"), c.runner);
    EXPECT_EQ(Version(paths.BackupLauncher(), launcherOne), c.backupLauncher);
    EXPECT_EQ(Version(paths.BackupRunner() / L"run.exe", "runner 1"), c.backupRunner);
    EXPECT_EQ(PathExists(paths.incomingDir), !c.restoreFailure.empty());
    if (c.launcher != "-") {
      const DWORD attributes = ::GetFileAttributesW(paths.InstalledLauncher().c_str());
      EXPECT_EQ((attributes & FILE_ATTRIBUTE_READONLY) != 0,
                c.readOnlyLauncher && c.launcher == "1");
    }
    if (holder.process) {
      ::TerminateProcess(holder.process.get(), 1);
      ::WaitForSingleObject(holder.process.get(), 20000);
    }
  }
}

}  // namespace
