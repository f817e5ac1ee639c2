// Runs with the real time limits: each takes the whole of one wait.
#include "update/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "fs/paths.h"
#include "update/run_observer.h"

namespace fs = std::filesystem;
using namespace release;

namespace {

TEST(UpdateSlowTest, LauncherThatNeverClosesFailsAfterTheFullWait) {
  const UpdateScene scene(L"slow wait", ReleaseName());
  const fs::path& installDir = scene.installDir;
  StartedProcess running(test::StandinPath(LauncherExeName), L"--standin-sleep 120000");
  ASSERT_NE(running.pid(), 0u);

  static_assert(UpdateTimeLimits{}.launcherExitTimeout == 15000);
  const Observed observed = scene.Run({.passPid = true, .launcherPid = running.pid()},
                                      UpdateTimeLimits{}, L"confirm:0");

  EXPECT_EQ(observed.outcome.finishedCount, 1);
  EXPECT_TRUE(observed.outcome.finishedLast);
  EXPECT_EQ(observed.outcome.message, L"VORN Launcher did not close in time.");
  EXPECT_EQ(observed.exitCode, 1);
  EXPECT_FALSE(running.WaitForExit(0));
  EXPECT_EQ(observed.titles, ExpectedTitles({.prepare = true, .install = false}));
  EXPECT_TRUE(SameTree(Snapshot(installDir), PreviousTree()));
  EXPECT_TRUE(NamesStartingWith(installDir, BackupPrefix).empty());
  EXPECT_TRUE(observed.launches.empty());
  running.Kill();
}

TEST(UpdateSlowTest, HandshakeGivesUpAfterEveryCheck) {
  const UpdateScene scene(L"slow handshake", ReleaseName());
  const fs::path& installDir = scene.installDir;

  const Observed observed = scene.Run({}, UpdateTimeLimits{}, L"hang:300000");

  EXPECT_EQ(observed.outcome.finishedCount, 1);
  EXPECT_TRUE(observed.outcome.finishedLast);
  EXPECT_EQ(observed.outcome.message, HealthyStartFailed);
  EXPECT_EQ(observed.exitCode, 1);
  EXPECT_TRUE(observed.launchersEnded);
  EXPECT_EQ(observed.titles, ExpectedTitles({}));

  std::vector<std::int32_t> handshake;
  for (const ProgressUpdate& update : observed.outcome.progress) {
    if (update.title == StartingLauncher) handshake.push_back(update.permille);
  }
  // 0 of 90, then one report after each of the 90 checks.
  ASSERT_EQ(handshake.size(), 91u);
  EXPECT_EQ(handshake.front(), 0);
  EXPECT_EQ(handshake[45], 500);
  EXPECT_EQ(handshake.back(), 1000);
  EXPECT_EQ(observed.outcome.progress.back().permille, 1000);
  EXPECT_TRUE(std::is_sorted(handshake.begin(), handshake.end()));

  Tree after = Snapshot(installDir);
  std::erase_if(after, [](const auto& item) { return item.first.starts_with(".update-backup-"); });
  EXPECT_TRUE(SameTree(after, PreviousTree()));
  ASSERT_EQ(observed.launches.size(), 2u);
  EXPECT_TRUE(IsToken(observed.launches[0].token));
  EXPECT_EQ(observed.launches[1].cmdline, LauncherCommand(installDir, ""));
  EXPECT_EQ(scene.staging.Added().size(), 1u);
}

}  // namespace
