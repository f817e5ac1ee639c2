#include "update/runner_staging.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "support/test_support.h"
#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

const std::string ExtractionFailed =
    "The runner archive could not be extracted or does not contain run.exe.";

// A system directory of the test's own, holding the tools each case wants.
struct FakeSystem {
  explicit FakeSystem(const fs::path& root, bool tar, bool powerShell) : dir(root / L"system32") {
    fs::create_directories(dir / L"WindowsPowerShell\\v1.0");
    if (tar) fs::copy_file(test::StandinPath(L"tar.exe"), dir / L"tar.exe");
    if (powerShell) {
      fs::copy_file(test::StandinPath(L"powershell.exe"),
                    dir / L"WindowsPowerShell\\v1.0\\powershell.exe");
    }
  }
  void FailTar() const { test::WriteBytes(dir / L"tar.fail", ""); }
  fs::path dir;
};

// Records how each stand-in tool was called.
struct ToolLogs {
  explicit ToolLogs(const fs::path& root)
      : tarLog(root / L"tar.log"),
        powerShellLog(root / L"powershell.log"),
        tar(L"VORN_STANDIN_TAR_LOG", tarLog.native()),
        powerShell(L"VORN_STANDIN_POWERSHELL_LOG", powerShellLog.native()) {}
  std::string Tar() const { return test::ReadBytes(tarLog); }
  std::string PowerShell() const { return test::ReadBytes(powerShellLog); }
  fs::path tarLog;
  fs::path powerShellLog;
  test::ScopedEnvironment tar;
  test::ScopedEnvironment powerShell;
};

const std::vector<ZipEntry> GoodRunner = {
    {"run.exe", "runner"}, {"lib/", ""}, {"lib/a.dll", std::string(5000, 'a')}, {"empty/", ""}};

TEST(RunnerStaging, TarExtractsWithProgressBeforeAndAfter) {
  test::TempDir dir(L"staging with spaces");
  const FakeSystem system(dir.path(), true, true);
  const ToolLogs logs(dir.path());
  WriteZip(dir / L"VORNRunner.zip", GoodRunner, true);
  test::MessageSink sink;

  ExtractRunnerArchiveWith(dir / L"VORNRunner.zip", dir / L"Runner", system.dir);

  EXPECT_EQ(test::ReadBytes(dir / L"Runner\\lib\\a.dll"), std::string(5000, 'a'));
  EXPECT_TRUE(fs::is_directory(dir / L"Runner\\empty"));
  const std::string expectedArguments = " -xf \"" + (dir / L"VORNRunner.zip").string() +
                                        "\" -C \"" + (dir / L"Runner").string() + "\"";
  EXPECT_NE(logs.Tar().find(expectedArguments), std::string::npos) << logs.Tar();
  EXPECT_EQ(logs.PowerShell(), "");
  const auto updates = sink.Drain();
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[0].title, L"Extracting runner files");
  EXPECT_EQ(updates[0].detail, L"VORNRunner.zip");
  EXPECT_EQ(updates[0].permille, 0);
  EXPECT_EQ(updates[1].detail, L"Runner ready");
  EXPECT_EQ(updates[1].permille, 1000);
}

TEST(RunnerStaging, ToolChoice) {
  struct Case {
    const char* description;
    bool tar;
    bool tarFails;
    bool powerShell;
    std::vector<ZipEntry> entries;
    bool extracted;
    bool powerShellUsed;
  };
  const Case cases[] = {
      {"no tar: PowerShell extracts", false, false, true, GoodRunner, true, true},
      {"tar fails: PowerShell extracts", true, true, true, GoodRunner, true, true},
      {"tar succeeds without run.exe at the top: final", true, false, true,
       {{"Runner/", ""}, {"Runner/run.exe", "x"}}, false, false},
      {"PowerShell alone without run.exe at the top", false, false, true,
       {{"Runner/run.exe", "x"}}, false, true},
      {"neither tool", false, false, false, GoodRunner, false, false},
      {"tar fails, no PowerShell", true, true, false, GoodRunner, false, false},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const FakeSystem system(dir.path(), c.tar, c.powerShell);
    if (c.tarFails) system.FailTar();
    const ToolLogs logs(dir.path());
    WriteZip(dir / L"VORNRunner.zip", c.entries, false);
    test::MessageSink sink;
    const std::string failure = test::FailureOf([&] {
      ExtractRunnerArchiveWith(dir / L"VORNRunner.zip", dir / L"Runner", system.dir);
    });
    EXPECT_EQ(failure, c.extracted ? "no failure" : ExtractionFailed) << c.description;
    EXPECT_EQ(!logs.PowerShell().empty(), c.powerShellUsed) << c.description;
    EXPECT_EQ(sink.Drain().size(), c.extracted ? 2u : 1u) << c.description;
  }
}

TEST(RunnerStaging, UnreadableSystemDirectoryFails) {
  test::TempDir dir;
  WriteZip(dir / L"VORNRunner.zip", GoodRunner, false);
  test::MessageSink sink;
  EXPECT_EQ(test::FailureOf([&] {
              ExtractRunnerArchiveWith(dir / L"VORNRunner.zip", dir / L"Runner", std::nullopt);
            }),
            ExtractionFailed);
}

TEST(RunnerStaging, QuotesInPathsReachPowerShellIntact) {
  EXPECT_EQ(EscapeForPowerShellSingleQuotes(L"C:\\O'Brien\\x"), L"C:\\O''Brien\\x");
  EXPECT_EQ(EscapeForPowerShellSingleQuotes(L"a\u2019b\u2018c"), L"a\u2019\u2019b\u2018\u2018c");
  EXPECT_EQ(EscapeForPowerShellSingleQuotes(L"plain \"x\""), L"plain \"x\"");

  test::TempDir dir(L"O'Brien \u2019s dir");
  const FakeSystem system(dir.path(), false, true);
  WriteZip(dir / L"VORNRunner.zip", GoodRunner, true);
  test::MessageSink sink;
  ExtractRunnerArchiveWith(dir / L"VORNRunner.zip", dir / L"Runner", system.dir);
  EXPECT_TRUE(PathExists(dir / L"Runner\\run.exe"));
}

TEST(RunnerStaging, UsesTheSystemDirectoryTools) {
  ASSERT_TRUE(SystemDirectory());
  EXPECT_TRUE(PathExists(*SystemDirectory() / L"tar.exe"));
  test::TempDir dir;
  WriteZip(dir / L"VORNRunner.zip", GoodRunner, true);
  test::MessageSink sink;
  ExtractRunnerArchive(dir / L"VORNRunner.zip", dir / L"Runner");
  EXPECT_TRUE(PathExists(dir / L"Runner\\run.exe"));
}

TEST(RunnerStaging, RunnerDirectoryThatCannotBeCreated) {
  test::TempDir dir;
  test::WriteBytes(dir / L"Runner", "a file in the way");
  test::MessageSink sink;
  EXPECT_EQ(test::FailureOf([&] {
              ExtractRunnerArchiveWith(dir / L"VORNRunner.zip", dir / L"Runner", std::nullopt);
            }),
            "Could not create a directory.");
}

}  // namespace
