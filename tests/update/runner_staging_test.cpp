#include "update/runner_staging.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string ExtractionFailed =
    "The runner archive could not be extracted or does not contain run.exe.";

// dir\VORNRunner.zip of `entries` below dir\content, written by the real tar
// (run in `dir`: it takes its command line in the ANSI code page).
void ZipWithTar(const fs::path& dir, const std::wstring& entries) {
  ASSERT_TRUE(RunProcessAndWait(test::StandinPath(L"tar.exe").native(),
                                L"--format zip -cf VORNRunner.zip -C content " + entries,
                                ChildProcessTimeout, dir.c_str()));
}

TEST(ExtractRunnerArchive, TarFirstThenPowerShellAndRunExeAtTheTop) {
  struct Case {
    const char* description;
    bool tar;
    bool tarFails;
    bool powerShell;
    bool runExeAtTop;
    bool extracted;
    bool powerShellUsed;
  };
  const Case cases[] = {
      {"tar extracts", true, false, true, true, true, false},
      {"no tar: PowerShell extracts", false, false, true, true, true, true},
      {"tar fails: PowerShell extracts", true, true, true, true, true, true},
      {"tar's result without run.exe at the top is final", true, false, true, false, false, false},
      {"tar fails, no PowerShell", true, true, false, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    // Quotes of either kind in the paths must reach PowerShell intact, and
    // a name outside the ANSI code page (a user's, in %TEMP%) tar too.
    const test::TempDir dir(L"O'Brien\u2019s \u4E2D\u6587 runner");
    const fs::path system = dir / L"system32";
    const fs::path powerShellDir = system / L"WindowsPowerShell\\v1.0";
    fs::create_directories(powerShellDir);
    // tar.exe is the real bsdtar; PowerShell's stand-in extracts with it too.
    if (c.tar) fs::copy_file(test::StandinPath(L"tar.exe"), system / L"tar.exe");
    if (c.powerShell) {
      fs::copy_file(test::StandinPath(L"powershell.exe"), powerShellDir / L"powershell.exe");
      fs::copy_file(test::StandinPath(L"tar.exe"), powerShellDir / L"bsdtar.exe");
    }
    const fs::path content = dir / (c.runExeAtTop ? L"content" : L"content\\Runner");
    test::WriteBytes(content / L"run.exe", "runner");
    test::WriteBytes(content / L"lib\\a.dll", "dll");
    fs::create_directories(content / L"empty");
    ZipWithTar(dir.path(), c.runExeAtTop ? L"run.exe lib empty" : L"Runner");
    // An option bsdtar cannot apply makes it fail before reading the archive.
    const test::ScopedEnvironment tarFails(L"TAR_READER_OPTIONS",
                                           c.tarFails ? L"hdrcharset=NO-SUCH-CHARSET" : L"");
    const test::ScopedEnvironment powerShellLog(L"VORN_STANDIN_POWERSHELL_LOG",
                                                (dir / L"powershell.log").native());
    test::RecordingSink sink;

    EXPECT_EQ(test::FailureOf([&] {
                ExtractRunnerArchive(dir / L"VORNRunner.zip", dir / L"Runner", system,
                                     ChildProcessTimeout, sink);
              }),
              c.extracted ? "no failure" : ExtractionFailed);

    EXPECT_EQ(PathExists(dir / L"powershell.log"), c.powerShellUsed);
    if (c.extracted) {
      EXPECT_EQ(test::ReadBytes(dir / L"Runner\\lib\\a.dll"), "dll");
      EXPECT_TRUE(fs::is_directory(dir / L"Runner\\empty"));
    }
    ASSERT_EQ(sink.steps.size(), c.extracted ? 2u : 1u);
    EXPECT_EQ(sink.steps[0].detail, L"VORNRunner.zip");
    EXPECT_EQ(sink.steps[0].done, 0u);
    EXPECT_EQ(sink.steps.back().detail, c.extracted ? L"Runner ready" : L"VORNRunner.zip");
    EXPECT_EQ(sink.steps.back().done, c.extracted ? 1u : 0u);
  }
}

}  // namespace
