#include "cli/option_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/failure_of.h"

namespace {

using Arguments = std::vector<std::wstring>;

const std::string Incomplete = "The updater received incomplete update instructions.";

// The required options, then `extra`.
Arguments With(const Arguments& extra) {
  Arguments all = {L"VORNUpdate.exe", L"--install-dir", L"C:\\VORN",   L"--manifest-url",
                   L"https://h/m",    L"--components",  L"launcher"};
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

std::string FailureOf(const Arguments& arguments) {
  return test::FailureOf([&] { ScanOptions(arguments); });
}

std::string Text(const std::wstring& wide) { return {wide.begin(), wide.end()}; }

TEST(OptionScanner, ComponentsBySubstringEachOccurrenceAfresh) {
  struct Case {
    Arguments values;  // each given as its own --components
    bool launcher;
    bool runner;
  };
  const Case cases[] = {
      {{L"launcher"}, true, false},        {{L"runner,launcher"}, true, true},
      {{L"launcherrunner"}, true, true},   {{L"runners"}, false, true},
      {{L"launcher", L"runner"}, false, true}, {{L"LAUNCHER"}, false, false},
      {{L"both"}, false, false},
  };
  for (const Case& c : cases) {
    Arguments arguments = {L"x", L"--install-dir", L"d", L"--manifest-url", L"u"};
    for (const std::wstring& value : c.values) {
      arguments.insert(arguments.end(), {L"--components", value});
    }
    SCOPED_TRACE(Text(c.values.back()));
    if (!c.launcher && !c.runner) {
      EXPECT_EQ(FailureOf(arguments), Incomplete);
      continue;
    }
    const UpdateOptions options = ScanOptions(arguments);
    EXPECT_EQ(options.launcher, c.launcher);
    EXPECT_EQ(options.runner, c.runner);
  }
}

TEST(OptionScanner, ValuesAreConsumedWhateverTheyLookLike) {
  struct Case {
    Arguments extra;
    std::wstring installDir;
    bool repair;
  };
  const Case cases[] = {
      {{L"--install-dir", L"--repair"}, L"--repair", false},
      {{L"--github-owner", L"--repair"}, L"C:\\VORN", false},
      {{L"--github-repo", L"x", L"--github-tag", L"--repair"}, L"C:\\VORN", false},
      // An unknown argument consumes nothing; names are exact.
      {{L"--unknown", L"--repair"}, L"C:\\VORN", true},
      {{L"--Install-Dir", L"X", L"--install-dir=Y"}, L"C:\\VORN", false},
      {{L"--install-dir", L"E:\\Later"}, L"E:\\Later", false},
  };
  for (const Case& c : cases) {
    const UpdateOptions options = ScanOptions(With(c.extra));
    EXPECT_EQ(options.installDir, c.installDir) << Text(c.extra[0]);
    EXPECT_EQ(options.repair, c.repair) << Text(c.extra[0]);
  }
  // Argument 0 is the program, never an option.
  EXPECT_FALSE(ScanOptions({L"--repair", L"--install-dir", L"d", L"--manifest-url", L"u",
                            L"--components", L"runner"})
                   .repair);
  // An option that is the last argument gets an empty value.
  EXPECT_EQ(FailureOf(With({L"--install-dir"})), Incomplete);
  EXPECT_EQ(FailureOf(With({L"--manifest-url"})), Incomplete);
  EXPECT_EQ(FailureOf({L"VORNUpdate.exe"}), Incomplete);
}

TEST(OptionScanner, DownloadBaseLosesTrailingForwardSlashesOnly) {
  struct Case {
    std::wstring value;
    std::wstring expected;  // empty: the run fails
  };
  const Case cases[] = {
      {L"https://x/dl///", L"https://x/dl"}, {L"https://x/dl\\", L"https://x/dl\\"},
      {L"https://x/dl\\/", L"https://x/dl\\"}, {L"/", L""}, {L"", L""},
  };
  for (const Case& c : cases) {
    const Arguments arguments = With({L"--download-base", c.value});
    if (c.expected.empty()) {
      EXPECT_EQ(FailureOf(arguments), Incomplete) << Text(c.value);
    } else {
      EXPECT_EQ(ScanOptions(arguments).downloadBase, c.expected) << Text(c.value);
    }
  }
  EXPECT_EQ(ScanOptions(With({})).downloadBase, std::wstring(DefaultDownloadBase));
}

// The launcher passes its process id as text; the conversion must give what
// the Windows C library's wcstoul gives, on any platform.
TEST(OptionScanner, ProcessIdConversionMatchesTheCLibrary) {
  struct Case {
    std::wstring text;
    std::uint32_t expected;
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
      {L"4294967295", 4294967295u},
      {L"4294967296", 4294967295u},
      {L"99999999999999999999999", 4294967295u},
      {L"-4294967295", 1},
      {L"-4294967296", 4294967295u},  // saturated, where Wine's C library answers 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.text));
    EXPECT_EQ(ParseProcessId(c.text), c.expected);
    EXPECT_EQ(ScanOptions(With({L"--launcher-pid", c.text})).launcherPid, c.expected);
  }
}

}  // namespace
