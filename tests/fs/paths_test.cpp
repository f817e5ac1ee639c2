#include "fs/paths.h"

#include <gtest/gtest.h>

namespace {

// Where a program's file cannot be opened, it is matched to the installation
// by its path, as Windows compares names: ignoring letter case, by whole
// elements.
TEST(IsSameOrWithin, WholeElementsIgnoringCase) {
  const std::wstring launcher = L"C:\\Users\\Ann\\VORN Macros\\VORNLauncher.exe";
  const std::wstring runner = L"C:\\Users\\Ann\\VORN Macros\\Runner";
  struct Case {
    std::wstring path;
    const std::wstring& place;
    bool within;
  };
  const Case cases[] = {
      {launcher, launcher, true},
      {L"c:\\users\\ann\\vorn macros\\vornlauncher.exe", launcher, true},
      {L"c:\\users\\ann\\vorn macros\\runner\\lib\\run.exe", runner, true},
      {runner, runner, true},
      {runner + L"Old\\run.exe", runner, false},
      {L"C:\\Users\\Ann\\VORN Macros", runner, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSameOrWithin(c.path, c.place), c.within) << std::filesystem::path(c.path).string();
  }
}

}  // namespace
