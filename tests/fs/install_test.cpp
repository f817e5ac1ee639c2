#include "fs/install.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(InstallFile, OneProgressReportPerChunk) {
  struct Case {
    std::size_t size;
    std::vector<std::uint64_t> done;
  };
  const Case cases[] = {
      {0, {}},
      {1, {1}},
      {131072, {131072}},
      {131073, {131072, 131073}},
      {300000, {131072, 262144, 300000}},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::MessageSink sink;
    const std::string content = test::PatternBytes(c.size);
    test::WriteBytes(dir / L"staged.exe", content);
    InstallFile(dir / L"staged.exe", dir / L"install\\sub\\VORNLauncher.exe", L"Installing launcher");
    EXPECT_EQ(test::ReadBytes(dir / L"install\\sub\\VORNLauncher.exe"), content);
    const auto updates = sink.Drain();
    ASSERT_EQ(updates.size(), c.done.size()) << c.size;
    for (std::size_t i = 0; i < updates.size(); ++i) {
      EXPECT_EQ(updates[i].title, L"Installing launcher");
      EXPECT_EQ(updates[i].detail, L"VORNLauncher.exe");
      EXPECT_EQ(updates[i].permille, ProgressPermille(c.done[i], c.size));
    }
  }
}

TEST(InstallFile, ReplacesALongerExistingFile) {
  test::TempDir dir;
  test::WriteBytes(dir / L"new", "short");
  test::WriteBytes(dir / L"installed", std::string(1000, 'o'));
  InstallFile(dir / L"new", dir / L"installed", L"t");
  EXPECT_EQ(test::ReadBytes(dir / L"installed"), "short");
}

TEST(InstallFile, Failures) {
  test::TempDir dir;
  test::MessageSink sink;
  test::WriteBytes(dir / L"blocker", "file where a directory should be");
  test::WriteBytes(dir / L"source", "x");
  EXPECT_EQ(test::FailureOf([&] { InstallFile(dir / L"missing", dir / L"out", L"t"); }),
            "Could not install a file.");
  EXPECT_EQ(test::FailureOf([&] { InstallFile(dir / L"source", dir / L"blocker\\out", L"t"); }),
            "Could not create a directory.");
  fs::create_directories(dir / L"a-directory");
  EXPECT_EQ(test::FailureOf([&] { InstallFile(dir / L"source", dir / L"a-directory", L"t"); }),
            "Could not install a file.");
  EXPECT_TRUE(sink.Drain().empty());
}

void MakeTree(const fs::path& root, const std::vector<std::pair<std::wstring, std::size_t>>& files) {
  for (const auto& [name, size] : files) {
    test::WriteBytes(root / name, test::PatternBytes(size));
  }
}

TEST(InstallRunnerTree, CopiesTheWholeTreeWithOneProgressRun) {
  test::TempDir dir;
  const fs::path staged = dir / L"staged";
  MakeTree(staged, {{L"run.exe", 200000}, {L"lib\\a.dll", 100}, {L"lib\\deep\\b.dat", 131072}});
  fs::create_directories(staged / L"empty\\nested");
  test::WriteBytes(dir / L"installed\\stale.txt", "left from before");

  test::MessageSink sink;
  InstallRunnerTree(staged, dir / L"installed");

  EXPECT_FALSE(PathExists(dir / L"installed\\stale.txt"));
  EXPECT_TRUE(fs::is_directory(dir / L"installed\\empty\\nested"));
  for (const wchar_t* name : {L"run.exe", L"lib\\a.dll", L"lib\\deep\\b.dat"}) {
    EXPECT_EQ(test::ReadBytes(dir / L"installed" / name), test::ReadBytes(staged / name)) << name;
  }
  const auto updates = sink.Drain();
  ASSERT_EQ(updates.size(), 4u);  // run.exe takes two chunks
  const std::uint64_t total = 200000 + 100 + 131072;
  std::int32_t previous = 0;
  for (const ProgressUpdate& update : updates) {
    EXPECT_EQ(update.title, L"Installing runner");
    EXPECT_GE(update.permille, previous);
    previous = update.permille;
  }
  EXPECT_EQ(updates.back().permille, 1000);
  EXPECT_EQ(ProgressPermille(total - 1, total), 999);
  std::vector<std::wstring> details;
  for (const ProgressUpdate& update : updates) details.push_back(update.detail);
  EXPECT_NE(std::find(details.begin(), details.end(), L"lib\\deep\\b.dat"), details.end());
  EXPECT_NE(std::find(details.begin(), details.end(), L"run.exe"), details.end());
}

TEST(InstallRunnerTree, StagedDirectorySpelledDifferently) {
  test::TempDir dir;
  MakeTree(dir / L"staged", {{L"run.exe", 3}, {L"a\\b\\c.dat", 4}});
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  for (const fs::path& staged : {fs::path(L"staged\\"), fs::path(L".\\staged"),
                                fs::path((dir / L"staged").native() + L"\\")}) {
    test::MessageSink sink;
    InstallRunnerTree(staged, dir / L"installed");
    EXPECT_EQ(test::ReadBytes(dir / L"installed\\a\\b\\c.dat"), test::PatternBytes(4));
    std::vector<std::wstring> details;
    for (const ProgressUpdate& update : sink.Drain()) details.push_back(update.detail);
    EXPECT_EQ(details, (std::vector<std::wstring>{L"a\\b\\c.dat", L"run.exe"}))
        << staged.string();
  }
  fs::current_path(previous);
}

TEST(InstallRunnerTree, EmptyFilesPostNothing) {
  test::TempDir dir;
  MakeTree(dir / L"staged", {{L"run.exe", 0}, {L"empty.cfg", 0}});
  test::MessageSink sink;
  InstallRunnerTree(dir / L"staged", dir / L"installed");
  EXPECT_TRUE(sink.Drain().empty());
  EXPECT_TRUE(PathExists(dir / L"installed\\empty.cfg"));
}

TEST(InstallRunnerTree, RequiresRunExeAtTheTopAfterCopying) {
  test::TempDir dir;
  MakeTree(dir / L"staged", {{L"Runner\\run.exe", 10}, {L"other.dll", 5}});
  EXPECT_EQ(test::FailureOf([&] { InstallRunnerTree(dir / L"staged", dir / L"installed"); }),
            "The installed runner is missing run.exe.");
  EXPECT_TRUE(PathExists(dir / L"installed\\Runner\\run.exe"));
  EXPECT_TRUE(PathExists(dir / L"installed\\other.dll"));
}

// A runner file that cannot be written must fail the install rather than
// leave an empty or short file that would then be stamped as current.
TEST(InstallRunnerTree, ADirectoryLinkBecomesAnEmptyDirectory) {
  test::TempDir dir;
  test::WriteBytes(dir / L"outside\\secret.txt", "not the runner's");
  test::WriteBytes(dir / L"staged\\run.exe", "r");
  test::MakeDirectoryLink(dir / L"staged\\data", dir / L"outside");
  const test::MessageSink sink;

  InstallRunnerTree(dir / L"staged", dir / L"installed");

  EXPECT_TRUE(fs::is_directory(dir / L"installed\\data"));
  EXPECT_TRUE(fs::is_empty(dir / L"installed\\data"));
  EXPECT_EQ(test::ReadBytes(dir / L"outside\\secret.txt"), "not the runner's");
}

TEST(InstallRunnerTree, UnwritableTargetFailsTheInstall) {
  test::TempDir dir;
  MakeTree(dir / L"staged", {{L"run.exe", 10}, {L"data.bin", 10}});
  const fs::path staged = dir / L"staged";
  // A file that the copy cannot open for reading: held without read sharing.
  const HANDLE held = ::CreateFileW((staged / L"data.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(test::FailureOf([&] { InstallRunnerTree(staged, dir / L"installed"); }),
            "Could not install a file.");
  ::CloseHandle(held);
}

}  // namespace
