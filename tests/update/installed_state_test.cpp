#include "update/installed_state.h"

#include <gtest/gtest.h>

#include "fs/paths.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// SHA-256 of "abc".
const std::wstring AbcDigest = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

ReleaseManifest Manifest(std::wstring version, std::wstring runnerDigest) {
  ReleaseManifest manifest;
  manifest.runnerVersion = std::move(version);
  manifest.runnerSha256 = std::move(runnerDigest);
  manifest.launcherSha256 = AbcDigest;
  return manifest;
}

TEST(RunnerStamp, ExactBytesWithCrLf) {
  test::TempDir dir;
  WriteRunnerStamp(dir.path(), Manifest(L"2.1.0", L"abc"));
  const std::string stamp = test::ReadBytes(dir / L".vorn-runner.json");
  EXPECT_EQ(stamp,
            "{\r\n  \"runnerVersion\": \"2.1.0\",\r\n  \"runnerSha256\": \"abc\"\r\n}\r\n");
  // Values are written verbatim, as UTF-8.
  WriteRunnerStamp(dir.path(), Manifest(L"2.\u00E9\"\\", L"ABC"));
  EXPECT_NE(test::ReadBytes(dir / L".vorn-runner.json").find("\"2.\xC3\xA9\"\\\","),
            std::string::npos);
  // A stamp that cannot be written is not an error.
  WriteRunnerStamp(dir / L"missing-dir", Manifest(L"1", L"2"));
}

TEST(RunnerStamp, IsRunnerCurrentByContainment) {
  struct Case {
    const char* description;
    bool runExe;
    const char* stamp;  // nullptr: no stamp file
    std::wstring version;
    std::wstring digest;
    bool current;
  };
  const Case cases[] = {
      {"no run.exe", false, "2.1.0 abc", L"2.1.0", L"abc", false},
      {"no stamp", true, nullptr, L"2.1.0", L"abc", false},
      {"LF only, other layout", true, "abc\n2.1.0\n", L"2.1.0", L"abc", true},
      {"digest case differs", true, "2.1.0 ABC", L"2.1.0", L"abc", false},
      {"version merely contained", true, "1.2.10 abc", L"1.2.1", L"abc", true},
      {"version differs", true, "1.2.0 abc", L"1.2.1", L"abc", false},
      {"empty version: digest only", true, "abc", L"", L"abc", true},
      {"both empty: files must exist", true, "", L"", L"", true},
      {"non-ASCII version", true, "v\xC3\xA9 abc", L"v\u00E9", L"abc", true},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    if (c.runExe) test::WriteBytes(dir / L"run.exe", "x");
    if (c.stamp) test::WriteBytes(dir / L".vorn-runner.json", c.stamp);
    EXPECT_EQ(IsRunnerCurrent(dir.path(), Manifest(c.version, c.digest)), c.current)
        << c.description;
  }
  EXPECT_FALSE(IsRunnerCurrent(L"Z:\\no\\such\\Runner", Manifest(L"", L"")));
}

TEST(InstalledLauncher, IsLauncherCurrentByDigestInEitherCase) {
  test::TempDir dir;
  test::RecordingSink sink;
  const fs::path launcher = dir / LauncherFileName();
  ReleaseManifest manifest = Manifest(L"", L"");
  EXPECT_FALSE(IsLauncherCurrent(launcher, manifest, sink));
  EXPECT_TRUE(sink.steps.empty());

  test::WriteBytes(launcher, "abc");
  manifest.launcherSha256 = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  EXPECT_TRUE(IsLauncherCurrent(launcher, manifest, sink));
  manifest.launcherSha256.back() = L'E';
  EXPECT_FALSE(IsLauncherCurrent(launcher, manifest, sink));
  ASSERT_EQ(sink.steps.size(), 2u);
  EXPECT_EQ(sink.steps[0].title, L"Checking installed launcher");
  EXPECT_EQ(sink.steps[0].detail, L"VORNLauncher.exe");
}

}  // namespace
