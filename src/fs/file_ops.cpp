#include "fs/file_ops.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "common/deadline.h"
#include "common/update_error.h"
#include "fs/tree_walk.h"

namespace fs = std::filesystem;

namespace {

// Pauses between tries of a held rename start short and double up to the
// longest, so a brief scan costs little and a long one few tries.
constexpr DWORD FirstPause = 50;
constexpr DWORD LongestPause = 1000;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetterAt(const std::wstring& text, std::size_t i) {
  return i + 1 < text.size() && text[i + 1] == L':' &&
         ((text[i] >= L'A' && text[i] <= L'Z') || (text[i] >= L'a' && text[i] <= L'z'));
}

// Length of the root (drive or server, and the root separator) at the start of
// `text`. For the device forms \\?\ and \\.\ a following drive belongs to the
// root too, so that no directory is ever attempted for "\\?\C:".
std::size_t RootLength(const std::wstring& text) {
  std::size_t length = fs::path(text).root_path().native().size();
  const bool deviceForm = text.size() >= 4 && IsSeparator(text[0]) && IsSeparator(text[1]) &&
                          (text[2] == L'?' || text[2] == L'.') && IsSeparator(text[3]);
  if (deviceForm && IsDriveLetterAt(text, 4)) {
    length = 6;
    while (length < text.size() && IsSeparator(text[length])) {
      ++length;
    }
  }
  return length;
}

bool CreateOneDirectory(const std::wstring& prefix) {
  if (::CreateDirectoryW(prefix.c_str(), nullptr)) {
    return true;
  }
  if (::GetLastError() != ERROR_ALREADY_EXISTS) {
    return false;
  }
  const DWORD attributes = ::GetFileAttributesW(prefix.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RemoveEntry(const TreeEntry& entry) {
  return entry.IsDirectory() ? ::RemoveDirectoryW(entry.path.c_str())
                             : ::DeleteFileW(entry.path.c_str());
}

// Removes one file, empty directory or link (itself, never what it points
// to), retrying once without the read-only attribute, which the platform's
// removal does not clear. A link is never made writable: the change could
// reach what it points to.
void RemoveEntryQuietly(const TreeEntry& entry) {
  const bool readOnly = (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (RemoveEntry(entry) || !readOnly || entry.IsLink()) {
    return;
  }
  if (::SetFileAttributesW(entry.path.c_str(),
                           entry.attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    RemoveEntry(entry);
  }
}

}  // namespace

bool PathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::status(path, error));
}

void EnsureDirectory(const fs::path& path) {
  const std::wstring& text = path.native();
  if (text.empty()) {
    throw UpdateError("Could not create a directory.");
  }
  bool created = true;
  std::size_t position = RootLength(text);
  while (position < text.size()) {
    while (position < text.size() && IsSeparator(text[position])) {
      ++position;
    }
    if (position == text.size()) {
      break;
    }
    while (position < text.size() && !IsSeparator(text[position])) {
      ++position;
    }
    created = CreateOneDirectory(text.substr(0, position));
  }
  if (!created) {
    throw UpdateError("Could not create a directory.");
  }
}

void RemoveFileQuietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

void RemoveTreeQuietly(const fs::path& path) {
  TreeEntry top;
  top.path = path;
  top.attributes = ::GetFileAttributesW(path.c_str());
  if (top.attributes == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  if (top.IsDirectory() && !top.IsLink()) {
    const std::vector<TreeEntry> entries = ListTreeQuietly(path);
    // Backwards, each directory comes after its contents.
    for (std::size_t i = entries.size(); i-- > 0;) {
      RemoveEntryQuietly(entries[i]);
    }
  }
  RemoveEntryQuietly(top);
}

void MovePath(const fs::path& from, const fs::path& to) { MovePathPatiently(from, to, 0); }

void MovePathPatiently(const fs::path& from, const fs::path& to, DWORD patience,
                       const std::function<void()>& onHeld) {
  const Deadline deadline(patience);
  DWORD pause = FirstPause;
  while (!::MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    const DWORD code = ::GetLastError();
    const DWORD remaining = deadline.Remaining();
    if ((code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED) || remaining == 0) {
      throw fs::filesystem_error("rename", from, to,
                                 std::error_code(static_cast<int>(code), std::system_category()));
    }
    if (onHeld && pause == FirstPause) {
      onHeld();
    }
    ::Sleep(std::min(pause, remaining));
    pause = std::min(pause * 2, LongestPause);
  }
}
