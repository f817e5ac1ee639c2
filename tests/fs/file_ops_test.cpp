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

// Access denied is a hold while a program runs the file to be replaced, and
// only then: a destination that refuses replacement by itself stays so
// however long one waits. Either way the failure names both paths and leaves
// the source.
TEST(MovePathPatiently, WaitsOnlyForWhatCanEnd) {
  struct Case {
    const char* description;
    const wchar_t* destination;
    bool waits;
  };
  const Case cases[] = {
      {"a running program's image", L"running.exe", true},
      {"a non-empty directory", L"dst", false},
  };
  test::TempDir dir;
  test::WriteBytes(dir / L"dst\\g", "2");
  fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), dir / L"running.exe");
  const ProcessHandles holder = test::StartHolder(dir / L"running.exe", dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    test::WriteBytes(dir / L"src", "1");
    WaitAllowance allowance(c.waits ? 200 : 60000);
    bool waited = false;
    try {
      MovePathPatiently(dir / L"src", dir / c.destination, allowance, [&] { waited = true; });
      ADD_FAILURE() << "moved";
    } catch (const fs::filesystem_error& error) {
      EXPECT_EQ(error.path1(), dir / L"src");
      EXPECT_EQ(error.path2(), dir / c.destination);
      EXPECT_NE(std::string(error.what()).find("rename"), std::string::npos) << error.what();
    }
    EXPECT_EQ(waited, c.waits);
    EXPECT_EQ(test::ReadBytes(dir / L"src"), "1");
  }
  ::TerminateProcess(holder.process.get(), 1);
  ::WaitForSingleObject(holder.process.get(), 20000);
}

}  // namespace
