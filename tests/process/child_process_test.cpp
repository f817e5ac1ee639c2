#include "process/child_process.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::wstring Cmd = L"C:\\windows\\system32\\cmd.exe";

TEST(RunProcessAndWait, OnlyAnEndWithExitCodeZeroWithinTheLimitSucceeds) {
  test::TempDir dir(L"with space");
  fs::copy_file(Cmd, dir / L"my cmd.exe");
  const std::wstring spaced = (dir / L"my cmd.exe").native();
  struct Case {
    std::wstring program;
    std::wstring arguments;
    bool succeeds;
  };
  const Case cases[] = {
      {spaced, L"/c exit 0", true},
      {spaced, L"/c exit 2", false},
      {L"C:\\no\\such\\program.exe", L"", false},
      // The arguments reach the child unchanged after one space.
      {spaced, L"/c if \"%VORN_CHILD_TEST%\"==\"inherited\" (exit 0) else (exit 4)", true},
  };
  const test::ScopedEnvironment variable(L"VORN_CHILD_TEST", L"inherited");
  for (const Case& c : cases) {
    EXPECT_EQ(RunProcessAndWait(c.program, c.arguments, ChildProcessTimeout), c.succeeds)
        << fs::path(c.arguments).string();
  }
}

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
