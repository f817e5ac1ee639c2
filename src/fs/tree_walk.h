#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <vector>

// One entry below the root of a listed tree.
struct TreeEntry {
  std::filesystem::path path;      // the root joined with `relative`
  std::filesystem::path relative;  // from the root, elements joined with backslashes
  DWORD attributes = 0;
  std::uint64_t size = 0;  // content bytes of a file (of its target for a file link)

  bool IsDirectory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // A junction or a symbolic link.
  bool IsLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

// Every entry below `root`, each directory right before its contents, in the
// order the file system lists them. Links are listed but never entered, so
// nothing done to the listed entries reaches what a link points to. Throws
// the standard file-system error for "directory iteration" when a directory
// cannot be listed.
std::vector<TreeEntry> ListTree(const std::filesystem::path& root);

// The same, leaving out whatever lies in directories that cannot be listed.
std::vector<TreeEntry> ListTreeQuietly(const std::filesystem::path& root);
