#include "fs/install.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

using Steps = std::vector<std::pair<std::wstring, std::uint64_t>>;  // detail, done

Steps DetailsAndDone(const test::RecordingSink& sink, std::uint64_t total) {
  Steps steps;
  for (const auto& step : sink.steps) {
    EXPECT_EQ(step.total, total) << step.title;
    steps.emplace_back(step.detail, step.done);
  }
  return steps;
}

TEST(InstallFile, OneReportPerChunkAndFailures) {
  struct Case {
    std::size_t size;
    Steps steps;
  };
  const Case cases[] = {
      {0, {}},
      {131072, {{L"VORNLauncher.exe", 131072}}},
      {300000, {{L"VORNLauncher.exe", 131072}, {L"VORNLauncher.exe", 262144},
                {L"VORNLauncher.exe", 300000}}},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::RecordingSink sink;
    const fs::path target = dir / L"install\\sub\\VORNLauncher.exe";
    test::WriteBytes(dir / L"staged.exe", test::PatternBytes(c.size));
    test::WriteBytes(target, std::string(400000, 'o'));  // longer: replaced from the start
    InstallFile(dir / L"staged.exe", target, L"Installing launcher", sink);
    EXPECT_EQ(test::ReadBytes(target), test::PatternBytes(c.size));
    EXPECT_EQ(DetailsAndDone(sink, c.size), c.steps) << c.size;
  }

  test::TempDir dir;
  test::RecordingSink sink;
  EXPECT_EQ(test::FailureOf([&] { InstallFile(dir / L"missing", dir / L"out", L"t", sink); }),
            "Could not install a file.");
  EXPECT_TRUE(sink.steps.empty());
}

TEST(InstallRunnerTree, CopiesTheTreeWithOneProgressRunOverIt) {
  test::TempDir dir;
  const fs::path staged = dir / L"staged";
  test::WriteBytes(staged / L"run.exe", test::PatternBytes(200000));
  test::WriteBytes(staged / L"lib\\deep\\b.dat", test::PatternBytes(100));
  test::WriteBytes(staged / L"lib\\empty.cfg", "");
  fs::create_directories(staged / L"empty\\nested");
  // A directory link, never entered: it becomes an empty directory.
  test::WriteBytes(dir / L"outside\\secret.txt", "not the runner's");
  test::MakeDirectoryLink(staged / L"data", dir / L"outside");
  test::WriteBytes(dir / L"installed\\stale.txt", "left from before");
  test::RecordingSink sink;

  // Spelled with a trailing separator: the details stay relative to the tree.
  InstallRunnerTree(staged.native() + L"\\", dir / L"installed", sink);

  EXPECT_FALSE(PathExists(dir / L"installed\\stale.txt"));
  EXPECT_TRUE(fs::is_directory(dir / L"installed\\empty\\nested"));
  EXPECT_TRUE(fs::is_directory(dir / L"installed\\data") &&
              fs::is_empty(dir / L"installed\\data"));
  EXPECT_EQ(test::ReadBytes(dir / L"installed\\run.exe"), test::PatternBytes(200000));
  EXPECT_EQ(test::ReadBytes(dir / L"installed\\lib\\deep\\b.dat"), test::PatternBytes(100));
  EXPECT_TRUE(PathExists(dir / L"installed\\lib\\empty.cfg"));
  // Done runs once over the whole tree, in the file system's listing order.
  const Steps libFirst{{L"lib\\deep\\b.dat", 100}, {L"run.exe", 131172}, {L"run.exe", 200100}};
  const Steps runFirst{{L"run.exe", 131072}, {L"run.exe", 200000}, {L"lib\\deep\\b.dat", 200100}};
  const Steps steps = DetailsAndDone(sink, 200100);
  EXPECT_TRUE(steps == libFirst || steps == runFirst);
}

TEST(InstallRunnerTree, Failures) {
  test::TempDir dir;
  test::RecordingSink sink;
  test::WriteBytes(dir / L"nested\\Runner\\run.exe", "x");
  EXPECT_EQ(test::FailureOf([&] { InstallRunnerTree(dir / L"nested", dir / L"a", sink); }),
            "The installed runner is missing run.exe.");
  EXPECT_TRUE(PathExists(dir / L"a\\Runner\\run.exe"));

  // A runner file that cannot be read must fail the install rather than
  // leave an empty file that would then be stamped as current.
  test::WriteBytes(dir / L"held\\run.exe", "x");
  const HANDLE held = ::CreateFileW((dir / L"held\\run.exe").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(test::FailureOf([&] { InstallRunnerTree(dir / L"held", dir / L"b", sink); }),
            "Could not install a file.");
  ::CloseHandle(held);
}

}  // namespace
