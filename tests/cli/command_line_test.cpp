#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "update/update_error.h"

namespace {

const std::wstring Required =
    L" --install-dir C:\\VORN --manifest-url https://h/m.json --components launcher";

UpdateOptions Parse(const std::wstring& arguments) {
  return ParseCommandLineText(L"\"C:\\Program Files\\VORN\\VORNUpdate.exe\"" + arguments);
}

std::string FailureOf(const std::wstring& arguments) {
  try {
    Parse(arguments);
  } catch (const UpdateError& error) {
    return error.what();
  }
  return "no failure";
}

TEST(CommandLine, PlatformSplittingRulesApplyToValues) {
  struct Case {
    std::wstring arguments;
    std::wstring installDir;
  };
  const Case cases[] = {
      {L" --install-dir \"C:\\Program Files\\VORN\"", L"C:\\Program Files\\VORN"},
      {L" --install-dir \"C:\\My \\\"Quoted\\\" Dir\"", L"C:\\My \"Quoted\" Dir"},
      {L" --install-dir C:\\trailing\\", L"C:\\trailing\\"},
      {L" --install-dir \"C:\\ends in space\\\\\"", L"C:\\ends in space\\"},
      {L" --install-dir \"\"", L""},
  };
  for (const Case& c : cases) {
    const std::wstring line = L" --manifest-url u --components runner" + c.arguments;
    if (c.installDir.empty()) {
      EXPECT_EQ(FailureOf(line), "The updater received incomplete update instructions.");
      continue;
    }
    EXPECT_EQ(Parse(line).installDir, c.installDir);
  }
}

TEST(CommandLine, ReadsEveryOption) {
  const UpdateOptions options = Parse(
      L" --install-dir \"D:\\Apps\\VORN Macros\" --manifest-url \"https://x/m?a=1&b=2\""
      L" --download-base https://x/dl/ --components launcher,runner --launcher-pid 4242"
      L" --github-owner o --github-repo r --github-tag t --repair");
  EXPECT_EQ(options.installDir, L"D:\\Apps\\VORN Macros");
  EXPECT_EQ(options.manifestUrl, L"https://x/m?a=1&b=2");
  EXPECT_EQ(options.downloadBase, L"https://x/dl");
  EXPECT_TRUE(options.launcher);
  EXPECT_TRUE(options.runner);
  EXPECT_TRUE(options.repair);
  EXPECT_EQ(options.launcherPid, 4242u);
}

TEST(CommandLine, NoArgumentsIsIncomplete) {
  EXPECT_EQ(FailureOf(L""), "The updater received incomplete update instructions.");
  EXPECT_EQ(FailureOf(Required.substr(0, Required.find(L" --components"))),
            "The updater received incomplete update instructions.");
}

TEST(CommandLine, ProgramPathIsNeverAnOption) {
  const UpdateOptions options =
      ParseCommandLineText(L"--repair" + Required);
  EXPECT_FALSE(options.repair);
}

}  // namespace
