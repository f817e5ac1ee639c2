#include "update/new_components.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace {

// Also run under a system-call trace by test_flush_order.py, which checks
// that every new file reached the disk before it was renamed.
TEST(PrepareNewComponents, LeavesBothComponentsReadyToSwap) {
  const test::TempDir dir;
  RunPaths paths;
  paths.installDir = dir.path();
  paths.stagingDir = dir / L"staging";
  paths.incomingDir = dir / L"incoming";
  test::WriteBytes(paths.StagedLauncher(), "launcher 2");
  test::WriteBytes(paths.StagedRunner() / L"run.exe", test::PatternBytes(300000));
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"}) {
    test::WriteBytes(paths.StagedRunner() / L"lib" / name, "x");
  }
  ReleaseManifest manifest;
  manifest.runnerVersion = L"2.1.0";
  manifest.runnerSha256 = L"abc";
  HeldFileWaits waits(1000, 100, nullptr);
  test::RecordingSink sink;

  PrepareNewComponents(manifest, {true, true}, paths, {}, waits, sink);

  EXPECT_EQ(test::ReadBytes(paths.ReadyLauncher()), "launcher 2");
  EXPECT_EQ(test::ReadBytes(paths.ReadyRunner() / L"run.exe"), test::PatternBytes(300000));
  EXPECT_EQ(test::ReadBytes(paths.ReadyRunner() / L".vorn-runner.json").size(), 60U);
  EXPECT_FALSE(PathExists(paths.IncomingRunner()));
}

}  // namespace
