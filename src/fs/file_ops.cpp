#include "fs/file_ops.h"

#include <windows.h>

#include <string>
#include <system_error>

#include "update/update_error.h"

namespace fs = std::filesystem;

namespace {

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

bool ClearReadOnly(const fs::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
         ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
}

// Removes one entry (a file or an empty directory), retrying once without
// the read-only attribute, which the standard removal does not clear.
void RemoveEntryQuietly(const fs::path& path) {
  std::error_code error;
  if (!fs::remove(path, error) && error && ClearReadOnly(path)) {
    fs::remove(path, error);
  }
}

void RemoveContentsQuietly(const fs::path& directory) {
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    const fs::path entry = it->path();
    std::error_code statusError;
    if (it->is_directory(statusError) && !it->is_symlink(statusError)) {
      RemoveContentsQuietly(entry);
    }
    RemoveEntryQuietly(entry);
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
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (error || !fs::exists(status)) {
    return;
  }
  if (fs::is_directory(status)) {
    RemoveContentsQuietly(path);
  }
  RemoveEntryQuietly(path);
}

void MovePath(const fs::path& from, const fs::path& to) {
  if (!::MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    const std::error_code error(static_cast<int>(::GetLastError()), std::system_category());
    throw fs::filesystem_error("rename", from, to, error);
  }
}
