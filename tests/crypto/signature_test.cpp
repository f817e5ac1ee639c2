#include "crypto/signature.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

// A checked program stays as checked until its copy, which reads it by path.
TEST(OpenUnchanging, RefusesWritesDeletionAndRenamesButLetsTheCopyRead) {
  const test::TempDir dir;
  const std::filesystem::path file = dir / L"run.exe";
  test::WriteBytes(file, "checked");
  const FileHandle held = OpenUnchanging(file);
  ASSERT_TRUE(held);
  EXPECT_FALSE(FileHandle(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr)));
  EXPECT_FALSE(::DeleteFileW(file.c_str()));
  EXPECT_FALSE(::MoveFileW(file.c_str(), (dir / L"other.exe").c_str()));
  EXPECT_EQ(test::ReadBytes(file), "checked");
}

}  // namespace
