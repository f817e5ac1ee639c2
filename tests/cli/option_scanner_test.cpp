#include "cli/option_scanner.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "update/update_error.h"

namespace {

using Arguments = std::vector<std::wstring>;

const Arguments Required = {L"VORNUpdate.exe",  L"--install-dir", L"C:\\VORN",
                            L"--manifest-url", L"https://h/m",   L"--components",
                            L"launcher"};

Arguments With(Arguments extra) {
  Arguments all = Required;
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

std::string FailureOf(const Arguments& arguments) {
  try {
    ScanOptions(arguments);
  } catch (const UpdateError& error) {
    return error.what();
  }
  return "no failure";
}

const std::string Incomplete = "The updater received incomplete update instructions.";

TEST(OptionScanner, DefaultsWithOnlyTheRequiredOptions) {
  const UpdateOptions options = ScanOptions(Required);
  EXPECT_EQ(options.installDir, L"C:\\VORN");
  EXPECT_EQ(options.manifestUrl, L"https://h/m");
  EXPECT_EQ(options.downloadBase, std::wstring(DefaultDownloadBase));
  EXPECT_TRUE(options.downloadBase.starts_with(L"https://"));
  EXPECT_TRUE(options.downloadBase.ends_with(L"/api/v3/release/download"));
  EXPECT_TRUE(options.launcher);
  EXPECT_FALSE(options.runner);
  EXPECT_FALSE(options.repair);
  EXPECT_EQ(options.launcherPid, 0u);
}

TEST(OptionScanner, ComponentsBySubstring) {
  struct Case {
    std::vector<std::wstring> values;  // each given as its own --components
    bool launcher;
    bool runner;
  };
  const Case cases[] = {
      {{L"launcher"}, true, false},
      {{L"runner"}, false, true},
      {{L"runner,launcher"}, true, true},
      {{L"launcherrunner"}, true, true},
      {{L"runners"}, false, true},
      {{L"launcher", L"runner"}, false, true},
      {{L"both"}, false, false},
      {{L"LAUNCHER"}, false, false},
      {{L"Runner"}, false, false},
  };
  for (const Case& c : cases) {
    Arguments arguments = {L"x", L"--install-dir", L"d", L"--manifest-url", L"u"};
    for (const std::wstring& value : c.values) {
      arguments.push_back(L"--components");
      arguments.push_back(value);
    }
    if (!c.launcher && !c.runner) {
      EXPECT_EQ(FailureOf(arguments), Incomplete) << c.values.back();
      continue;
    }
    const UpdateOptions options = ScanOptions(arguments);
    EXPECT_EQ(options.launcher, c.launcher) << c.values.back();
    EXPECT_EQ(options.runner, c.runner) << c.values.back();
  }
}

TEST(OptionScanner, ValueConsumptionAndUnknownArguments) {
  // A value that looks like an option is still the value.
  EXPECT_EQ(ScanOptions(With({L"--install-dir", L"--repair"})).installDir, L"--repair");
  EXPECT_FALSE(ScanOptions(With({L"--install-dir", L"--repair"})).repair);
  EXPECT_FALSE(ScanOptions(With({L"--github-owner", L"--repair"})).repair);
  EXPECT_FALSE(ScanOptions(With({L"--github-repo", L"--repair"})).repair);
  EXPECT_FALSE(ScanOptions(With({L"--github-tag", L"--repair"})).repair);
  // An unknown argument consumes nothing: the next one is examined on its own.
  EXPECT_TRUE(ScanOptions(With({L"--unknown", L"--repair"})).repair);
  EXPECT_TRUE(ScanOptions(With({L"--REPAIR", L"--repair"})).repair);
  // Names are exact: other case or a joined value is no option.
  EXPECT_EQ(ScanOptions(With({L"--Install-Dir", L"X"})).installDir, L"C:\\VORN");
  EXPECT_EQ(ScanOptions(With({L"--install-dir=X"})).installDir, L"C:\\VORN");
  // A later occurrence replaces an earlier one.
  EXPECT_EQ(ScanOptions(With({L"--install-dir", L"E:\\Other"})).installDir, L"E:\\Other");
  EXPECT_EQ(ScanOptions(With({L"--launcher-pid", L"5", L"--launcher-pid", L"7"})).launcherPid,
            7u);
  // The last argument as an option gets an empty value.
  EXPECT_EQ(FailureOf(With({L"--install-dir"})), Incomplete);
  EXPECT_EQ(FailureOf(With({L"--manifest-url"})), Incomplete);
  EXPECT_EQ(ScanOptions(With({L"--launcher-pid"})).launcherPid, 0u);
}

TEST(OptionScanner, DownloadBaseLosesTrailingForwardSlashesOnly) {
  struct Case {
    std::wstring value;
    std::wstring expected;  // empty: the run fails
  };
  const Case cases[] = {
      {L"https://x/dl", L"https://x/dl"},
      {L"https://x/dl/", L"https://x/dl"},
      {L"https://x/dl///", L"https://x/dl"},
      {L"https://x/dl\\", L"https://x/dl\\"},
      {L"https://x/dl\\/", L"https://x/dl\\"},
      {L"/", L""},
      {L"///", L""},
      {L"", L""},
  };
  for (const Case& c : cases) {
    const Arguments arguments = With({L"--download-base", c.value});
    if (c.expected.empty()) {
      EXPECT_EQ(FailureOf(arguments), Incomplete) << c.value;
    } else {
      EXPECT_EQ(ScanOptions(arguments).downloadBase, c.expected) << c.value;
    }
  }
}

TEST(OptionScanner, BuildDownloadUrlJoinsWithOneSlash) {
  UpdateOptions options = ScanOptions(With({L"--download-base", L"https://x/dl//"}));
  EXPECT_EQ(BuildDownloadUrl(options, L"VORNRunner.zip"), L"https://x/dl/VORNRunner.zip");
  options = ScanOptions(Required);
  EXPECT_EQ(BuildDownloadUrl(options, L"VORNLauncher.exe"),
            std::wstring(DefaultDownloadBase) + L"/VORNLauncher.exe");
}

// The launcher passes its process id as text; the conversion must give what
// the Windows C library's wcstoul gives, on any platform.
TEST(OptionScanner, ProcessIdConversionMatchesTheCLibrary) {
  struct Case {
    std::wstring text;
    std::uint32_t expected;
    // Wine's C library answers 1 for a negative overflow, where Windows
    // saturates; only that case is not compared with the local wcstoul.
    bool compareWithLocalCLibrary = true;
  };
  const Case cases[] = {
      {L"4242", 4242},
      {L"12x", 12},
      {L"abc", 0},
      {L"", 0},
      {L"  \t\n 77", 77},
      {L"+15", 15},
      {L"-1", 4294967295u},
      {L"-5", 4294967291u},
      {L"- 5", 0},
      {L"+-5", 0},
      {L"0x1F", 0},
      {L"007", 7},
      {L"4294967295", 4294967295u},
      {L"4294967296", 4294967295u},
      {L"99999999999999999999999", 4294967295u},
      {L"-4294967295", 1},
      {L"-4294967296", 4294967295u, false},
      {L"1 2", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseProcessId(c.text), c.expected) << "text: " << std::string(c.text.begin(), c.text.end());
#ifdef _WIN32
    if (c.compareWithLocalCLibrary) {
      EXPECT_EQ(ParseProcessId(c.text),
              static_cast<std::uint32_t>(std::wcstoul(c.text.c_str(), nullptr, 10)))
          << "wcstoul differs for: " << std::string(c.text.begin(), c.text.end());
    }
#endif
    EXPECT_EQ(ScanOptions(With({L"--launcher-pid", c.text})).launcherPid, c.expected);
  }
}

}  // namespace
