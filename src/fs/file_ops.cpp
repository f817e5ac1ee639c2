#include "fs/file_ops.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

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

bool Rename(const fs::path& from, const fs::path& to) {
  return ::MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
}

// Access denied also answers a rename onto a read-only file or onto a
// directory, which stay so however long one waits.
bool IsHeld(DWORD code, const fs::path& to) {
  if (code == ERROR_SHARING_VIOLATION) {
    return true;
  }
  const DWORD attributes = ::GetFileAttributesW(to.c_str());
  return code == ERROR_ACCESS_DENIED &&
         (attributes == INVALID_FILE_ATTRIBUTES ||
          (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0);
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

std::optional<DWORD> ClearReadOnly(const fs::path& file) {
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return std::nullopt;
  }
  if (!::SetFileAttributesW(file.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    throw fs::filesystem_error(
        "clear read-only", file,
        std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
  }
  return attributes;
}

void RestoreReadOnly(const fs::path& file, std::optional<DWORD> attributes) {
  if (attributes) {
    ::SetFileAttributesW(file.c_str(), *attributes);
  }
}

void MovePath(const fs::path& from, const fs::path& to) {
  WaitAllowance noWait(0);
  MovePathPatiently(from, to, noWait);
}

void MovePathPatiently(const fs::path& from, const fs::path& to, WaitAllowance& allowance,
                       const std::function<void()>& onHeld) {
  if (Rename(from, to)) {
    return;
  }
  DWORD code = ::GetLastError();
  const WaitAllowance::Wait wait(allowance);
  for (DWORD pause = FirstPause;; pause = std::min(pause * 2, LongestPause)) {
    const DWORD remaining = wait.Remaining();
    if (!IsHeld(code, to) || remaining == 0) {
      throw fs::filesystem_error("rename", from, to,
                                 std::error_code(static_cast<int>(code), std::system_category()));
    }
    if (onHeld && pause == FirstPause) {
      onHeld();
    }
    ::Sleep(std::min(pause, remaining));
    if (Rename(from, to)) {
      return;
    }
    code = ::GetLastError();
  }
}
