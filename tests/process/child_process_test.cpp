#include "process/child_process.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// Exit codes, quoting and the choice of tool are the runner extraction's
// tests; what only a slow child shows is here.
TEST(RunProcessAndWait, AChildStillRunningAtTheLimitIsTerminated) {
  test::TempDir dir;
  const fs::path sleeper = dir / L"sleeper.exe";
  fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), sleeper);
  EXPECT_FALSE(RunProcessAndWait(sleeper.native(), L"--standin-sleep 600000", 300));
  // A running program cannot be deleted: once it can, the child has ended.
  bool deleted = false;
  for (int i = 0; i < 600 && !deleted; ++i) {
    deleted = ::DeleteFileW(sleeper.c_str()) != 0;
    ::Sleep(deleted ? 0 : 50);
  }
  EXPECT_TRUE(deleted);
}

}  // namespace
