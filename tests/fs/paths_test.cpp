#include "fs/paths.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

TEST(Paths, JoinsAddExactlyOneBackslash) {
  struct Case {
    std::wstring installDir;
    std::wstring launcher;
  };
  const Case cases[] = {
      {L"C:\\VORN", L"C:\\VORN\\VORNLauncher.exe"},
      {L"C:\\VORN\\", L"C:\\VORN\\VORNLauncher.exe"},
      {L"C:\\VORN/", L"C:\\VORN/VORNLauncher.exe"},
      {L"C:/Apps/VORN", L"C:/Apps/VORN\\VORNLauncher.exe"},
      {L"relative\\dir", L"relative\\dir\\VORNLauncher.exe"},
      {L"C:", L"C:VORNLauncher.exe"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ((fs::path(c.installDir) / LauncherFileName()).native(), c.launcher);
  }
  EXPECT_EQ((fs::path(L"C:\\VORN\\") / RunnerDirName() / RunnerStampFileName()).native(),
            L"C:\\VORN\\Runner\\.vorn-runner.json");
  EXPECT_TRUE((fs::path(L"relative") / RunnerDirName()).is_relative());
}

TEST(Paths, TemporaryDirectoryExistsAndEndsWithoutDoubleSeparator) {
  const fs::path temp = TemporaryDirectory();
  EXPECT_TRUE(fs::is_directory(temp));
  const std::wstring staging = (temp / (std::wstring(StagingPrefix) + L"ABC")).native();
  EXPECT_EQ(staging.find(L"\\\\", 2), std::wstring::npos) << staging;
}

}  // namespace
