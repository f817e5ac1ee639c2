#include "fs/file_ops.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string CouldNotCreate = "Could not create a directory.";

TEST(FileOps, PathExistsForAnyKindOfEntry) {
  test::TempDir dir;
  test::WriteBytes(dir / L"file", "x");
  EXPECT_TRUE(PathExists(dir / L"file"));
  EXPECT_TRUE(PathExists(dir.path()));
  EXPECT_FALSE(PathExists(dir / L"missing"));
  EXPECT_FALSE(PathExists(dir / L"missing\\deeper"));
  EXPECT_FALSE(PathExists(L""));
  EXPECT_FALSE(PathExists(L"Q:\\\x01<>|bad"));
}

TEST(FileOps, EnsureDirectoryCreatesMissingParents) {
  test::TempDir dir;
  for (const std::wstring relative : {L"a", L"b\\c\\d", L"e/f/g", L"h\\\\i//j\\", L"a"}) {
    const fs::path target = dir.path().native() + L"\\" + relative;
    EXPECT_EQ(test::FailureOf([&] { EnsureDirectory(target); }), "no failure") << relative;
    EXPECT_TRUE(fs::is_directory(target)) << relative;
  }
}

TEST(FileOps, EnsureDirectoryFailures) {
  test::TempDir dir;
  test::WriteBytes(dir / L"file", "x");
  EXPECT_EQ(test::FailureOf([] { EnsureDirectory(L""); }), CouldNotCreate);
  EXPECT_EQ(test::FailureOf([&] { EnsureDirectory(dir / L"file"); }), CouldNotCreate);
  EXPECT_EQ(test::FailureOf([&] { EnsureDirectory(dir / L"file" / L"below"); }), CouldNotCreate);
  EXPECT_TRUE(fs::is_regular_file(dir / L"file"));
}

TEST(FileOps, EnsureDirectoryAcceptsRootsAndDeviceForms) {
  test::TempDir dir;
  const fs::path relativeTarget = L"vorn-ensure-relative\\x";
  EnsureDirectory(relativeTarget);
  EXPECT_TRUE(fs::is_directory(relativeTarget));
  fs::remove_all(L"vorn-ensure-relative");
  // Only the whole path decides: the bare drive and the device prefix are
  // never created themselves.
  EnsureDirectory(L"\\\\?\\" + (dir / L"long\\form").native());
  EXPECT_TRUE(fs::is_directory(dir / L"long\\form"));
  EXPECT_EQ(test::FailureOf([] { EnsureDirectory(L"C:\\"); }), "no failure");
}

TEST(FileOps, RemoveQuietlyNeverFails) {
  test::TempDir dir;
  RemoveFileQuietly(dir / L"missing");
  RemoveTreeQuietly(dir / L"missing");
  test::WriteBytes(dir / L"tree\\a\\b\\file", "x");
  fs::create_directories(dir / L"tree\\empty");
  test::WriteBytes(dir / L"single", "x");
  RemoveTreeQuietly(dir / L"single");
  RemoveTreeQuietly(dir / L"tree");
  EXPECT_FALSE(PathExists(dir / L"tree"));
  EXPECT_FALSE(PathExists(dir / L"single"));
  fs::create_directories(dir / L"dir");
  RemoveFileQuietly(dir / L"dir\\");
  RemoveFileQuietly(dir / L"dir");
}

// A read-only file inside a tree the updater installed must not keep the tree
// (and with it a rollback or the clean-up after a commit) from going away.
TEST(FileOps, RemoveTreeClearsReadOnlyEntries) {
  test::TempDir dir;
  const fs::path file = dir / L"tree\\sub\\locked.dll";
  test::WriteBytes(file, "x");
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::SetFileAttributesW((dir / L"tree\\sub").c_str(), FILE_ATTRIBUTE_READONLY));
  RemoveTreeQuietly(dir / L"tree");
  EXPECT_FALSE(PathExists(dir / L"tree"));

  test::WriteBytes(dir / L"alone", "x");
  ASSERT_TRUE(::SetFileAttributesW((dir / L"alone").c_str(), FILE_ATTRIBUTE_READONLY));
  RemoveTreeQuietly(dir / L"alone");
  EXPECT_FALSE(PathExists(dir / L"alone"));
}

// A link inside an installed or backed-up tree may point at the user's data:
// removing the tree must never reach into it. Under Wine the link itself
// cannot be removed by any platform call (on Windows `RemoveDirectoryW`
// removes it), so only what it points to is checked here.
TEST(FileOps, RemoveTreeNeverEntersLinks) {
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

TEST(FileOps, MovePathRenamesFilesAndDirectories) {
  test::TempDir dir;
  test::WriteBytes(dir / L"a.exe", "new");
  test::WriteBytes(dir / L"b.exe", "old");
  MovePath(dir / L"a.exe", dir / L"b.exe");  // replaces an existing file
  EXPECT_EQ(test::ReadBytes(dir / L"b.exe"), "new");
  EXPECT_FALSE(PathExists(dir / L"a.exe"));

  test::WriteBytes(dir / L"Runner\\run.exe", "r");
  fs::create_directories(dir / L"backup");
  MovePath(dir / L"Runner", dir / L"backup\\Runner");
  EXPECT_EQ(test::ReadBytes(dir / L"backup\\Runner\\run.exe"), "r");
}

TEST(FileOps, MovePathFailureNamesBothPaths) {
  test::TempDir dir;
  const fs::path from = dir / L"missing.exe";
  const fs::path to = dir / L"target.exe";
  try {
    MovePath(from, to);
    FAIL() << "moved a missing file";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.path1(), from);
    EXPECT_EQ(error.path2(), to);
    const std::string text = error.what();
    EXPECT_NE(text.find("rename"), std::string::npos) << text;
    EXPECT_NE(text.find("missing.exe"), std::string::npos) << text;
    EXPECT_NE(text.find("target.exe"), std::string::npos) << text;
  }
  // A directory onto an existing non-empty one is refused, source untouched.
  test::WriteBytes(dir / L"src\\f", "1");
  test::WriteBytes(dir / L"dst\\g", "2");
  EXPECT_NE(test::FailureOf([&] { MovePath(dir / L"src", dir / L"dst"); }), "no failure");
  EXPECT_EQ(test::ReadBytes(dir / L"src\\f"), "1");
}

}  // namespace
