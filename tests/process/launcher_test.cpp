#include "process/launcher.h"

#include <gtest/gtest.h>

#include <set>

#include "fs/file_ops.h"
#include "process/tokens.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(Tokens, ThirtyTwoUpperCaseHexDigitsNewEachTime) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 50; ++i) {
    const std::wstring token = NewGuidToken();
    ASSERT_EQ(token.size(), 32u);
    for (const wchar_t c : token) {
      EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) << token;
    }
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 50u);
}

// Runs the stand-in launcher through `StartLauncher` and returns its log line.
std::string StartAndRecord(const test::TempDir& dir, const fs::path& installDir,
                           const std::wstring& token) {
  const fs::path log = dir / L"launcher.log";
  test::ScopedEnvironment behaviour(L"VORN_LAUNCHER_STANDIN", L"confirm:0 log=" + log.native());
  PROCESS_INFORMATION info = StartLauncher(installDir.native(), token);
  EXPECT_NE(info.hProcess, nullptr);
  EXPECT_NE(info.dwProcessId, 0u);
  EXPECT_EQ(::WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return test::ReadBytes(log);
}

TEST(StartLauncher, CommandLineAndCurrentDirectory) {
  struct Case {
    std::wstring installName;
    std::wstring token;
  };
  const Case cases[] = {
      {L"plain", L""},
      {L"with spaces", L""},
      {L"with spaces and token", L"0123456789ABCDEF0123456789ABCDEF"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const fs::path installDir = dir / c.installName;
    fs::create_directories(installDir);
    fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), installDir / L"VORNLauncher.exe");

    const std::string record = StartAndRecord(dir, installDir, c.token);
    std::string expectedCommand = (installDir / L"VORNLauncher.exe").string();
    expectedCommand.insert(0, 1, '"').push_back('"');
    if (!c.token.empty()) {
      expectedCommand.append(" --post-update-token ").append(fs::path(c.token).string());
    }
    EXPECT_NE(record.find("cwd=" + installDir.string()), std::string::npos) << record;
    EXPECT_NE(record.find("\tcmdline=" + expectedCommand + "\t"), std::string::npos) << record;
    EXPECT_EQ(PathExists(installDir / (L".update-ok-" + c.token)), !c.token.empty());
  }
}

TEST(StartLauncher, NothingStartedGivesAnAllZeroRecord) {
  test::TempDir dir;
  const auto isZero = [](const PROCESS_INFORMATION& info) {
    return info.hProcess == nullptr && info.hThread == nullptr && info.dwProcessId == 0 &&
           info.dwThreadId == 0;
  };
  EXPECT_TRUE(isZero(StartLauncher(dir.path().native(), L"TOKEN")));
  // Present but not a program.
  test::WriteBytes(dir / L"VORNLauncher.exe", "not an executable");
  EXPECT_TRUE(isZero(StartLauncher(dir.path().native(), L"")));
}

}  // namespace
