#include "fs/file_ops.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string CouldNotCreate = "Could not create a directory.";

TEST(EnsureDirectory, OnlyTheWholePathDecides) {
  test::TempDir dir;
  test::WriteBytes(dir / L"file", "x");
  const std::wstring base = dir.path().native();
  struct Case {
    std::wstring path;
    std::string outcome;
  };
  const Case cases[] = {
      {base + L"\\b\\c\\d", "no failure"},
      {base + L"/e/f/g", "no failure"},
      {base + L"\\h\\\\i//j\\", "no failure"},
      {base + L"\\b", "no failure"},  // already there
      // The device prefix and the bare drive are never created themselves.
      {L"\\\\?\\" + base + L"\\long\\form", "no failure"},
      {L"C:\\", "no failure"},
      {L"", CouldNotCreate},
      {base + L"\\file", CouldNotCreate},
      {base + L"\\file\\below", CouldNotCreate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(fs::path(c.path).string());
    EXPECT_EQ(test::FailureOf([&] { EnsureDirectory(c.path); }), c.outcome);
    EXPECT_EQ(fs::is_directory(c.path), c.outcome == "no failure");
  }
}

// A read-only file inside a tree the updater installed must not keep the tree
// (and with it a rollback or the clean-up after a commit) from going away.
TEST(RemoveTreeQuietly, ReadOnlyEntriesGoToo) {
  test::TempDir dir;
  const fs::path file = dir / L"tree\\sub\\locked.dll";
  test::WriteBytes(file, "x");
  test::WriteBytes(dir / L"alone", "x");
  for (const fs::path& path : {file, dir / L"tree\\sub", dir / L"alone"}) {
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  }
  RemoveTreeQuietly(dir / L"tree");
  RemoveTreeQuietly(dir / L"alone");
  RemoveTreeQuietly(dir / L"missing");
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A link inside an installed or backed-up tree may point at the user's data:
// removing the tree must never reach into it. Under Wine the link itself
// cannot be removed by any platform call (on Windows `RemoveDirectoryW`
// removes it), so only what it points to is checked here.
TEST(RemoveTreeQuietly, NeverEntersLinks) {
  test::TempDir dir;
  test::WriteBytes(dir / L"outside\\user\\data.txt", "keep");
  test::WriteBytes(dir / L"tree\\sub\\file", "x");
  test::MakeDirectoryLink(dir / L"tree\\sub\\linked", dir / L"outside");
  test::MakeDirectoryLink(dir / L"rootlink", dir / L"outside");
  ASSERT_EQ(::GetFileAttributesW((dir / L"rootlink").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
            DWORD{FILE_ATTRIBUTE_REPARSE_POINT});

  RemoveTreeQuietly(dir / L"tree");
  RemoveTreeQuietly(dir / L"rootlink");
  EXPECT_EQ(test::ReadBytes(dir / L"outside\\user\\data.txt"), "keep");
  EXPECT_FALSE(PathExists(dir / L"tree\\sub\\file"));
}

// Access denied for a destination that refuses replacement by itself is no
// hold: no wait would change it.
TEST(MovePath, FailureNamesBothPathsAndLeavesTheSource) {
  test::TempDir dir;
  test::WriteBytes(dir / L"src\\f", "1");
  test::WriteBytes(dir / L"dst\\g", "2");
  WaitAllowance allowance(60000);
  try {
    MovePathPatiently(dir / L"src", dir / L"dst", allowance,  // onto a non-empty directory
                      [] { ADD_FAILURE() << "waited for a directory in the way"; });
    FAIL() << "moved onto a non-empty directory";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.path1(), dir / L"src");
    EXPECT_EQ(error.path2(), dir / L"dst");
    EXPECT_NE(std::string(error.what()).find("rename"), std::string::npos) << error.what();
  }
  EXPECT_EQ(test::ReadBytes(dir / L"src\\f"), "1");
}

}  // namespace
