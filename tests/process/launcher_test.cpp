#include "process/launcher.h"

#include <gtest/gtest.h>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(StartLauncher, FromTheInstallationWithOrWithoutAToken) {
  struct Case {
    std::wstring token;
    std::string arguments;  // after the quoted launcher path
  };
  const Case cases[] = {
      {L"", ""},
      {L"0123456789ABCDEF0123456789ABCDEF", " --post-update-token 0123456789ABCDEF0123456789ABCDEF"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const fs::path installDir = dir / L"VORN Macros";
    fs::create_directories(installDir);
    fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), installDir / L"VORNLauncher.exe");
    const fs::path log = dir / L"launcher.log";
    const test::ScopedEnvironment behaviour(L"VORN_LAUNCHER_STANDIN",
                                            L"confirm:0 log=" + log.native());

    const ProcessHandles launcher = StartLauncher(installDir.native(), c.token);
    ASSERT_TRUE(launcher.process);
    EXPECT_EQ(::WaitForSingleObject(launcher.process.get(), 20000), WAIT_OBJECT_0);

    const std::string record = test::ReadBytes(log);
    // Built by appending: GCC 12 warns falsely on "\"" + std::string here.
    std::string command = (installDir / L"VORNLauncher.exe").string();
    command.insert(0, 1, '"').append(1, '"').append(c.arguments);
    EXPECT_NE(record.find("cwd=" + installDir.string()), std::string::npos) << record;
    EXPECT_NE(record.find("\tcmdline=" + command + "\t"), std::string::npos) << record;
  }
}

TEST(StartLauncher, NothingStartedWithoutAStartableLauncher) {
  test::TempDir dir;
  EXPECT_FALSE(StartLauncher(dir.path().native(), L"TOKEN").process);
  test::WriteBytes(dir / L"VORNLauncher.exe", "not an executable");
  EXPECT_FALSE(StartLauncher(dir.path().native(), L"").process);
}

}  // namespace
