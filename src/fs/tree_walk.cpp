#include "fs/tree_walk.h"

#include <string_view>
#include <system_error>

#include "common/scoped_handle.h"

namespace fs = std::filesystem;

namespace {

struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) noexcept { ::FindClose(handle); }
};
using FindHandle = ScopedHandle<FindHandleTraits>;

bool IsSelfOrParent(std::wstring_view name) { return name == L"." || name == L".."; }

std::uint64_t ContentSize(const WIN32_FIND_DATAW& data, const fs::path& path) {
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A file link lists its own size; a copy reads its target.
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Appends the entries of `root` joined with `relative`, depth first.
void ListInto(const fs::path& root, const fs::path& relative, bool quiet,
              std::vector<TreeEntry>& entries) {
  const fs::path directory = relative.empty() ? root : root / relative;
  WIN32_FIND_DATAW data{};
  const FindHandle find(::FindFirstFileExW((directory / L"*").c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  DWORD error = find ? ERROR_SUCCESS : ::GetLastError();
  if (find) {
    do {
      if (IsSelfOrParent(data.cFileName)) {
        continue;
      }
      TreeEntry entry;
      entry.relative = relative / data.cFileName;
      entry.path = root / entry.relative;
      entry.attributes = data.dwFileAttributes;
      if (!entry.IsDirectory()) {
        entry.size = ContentSize(data, entry.path);
      }
      entries.push_back(entry);
      if (entry.IsDirectory() && !entry.IsLink()) {
        ListInto(root, entry.relative, quiet, entries);
      }
    } while (::FindNextFileW(find.get(), &data));
    error = ::GetLastError();
  }
  if (error != ERROR_NO_MORE_FILES && !quiet) {
    throw fs::filesystem_error("directory iteration", directory,
                               std::error_code(static_cast<int>(error), std::system_category()));
  }
}

}  // namespace

std::vector<TreeEntry> ListTree(const fs::path& root) {
  std::vector<TreeEntry> entries;
  ListInto(root, fs::path(), false, entries);
  return entries;
}

std::vector<TreeEntry> ListTreeQuietly(const fs::path& root) {
  std::vector<TreeEntry> entries;
  ListInto(root, fs::path(), true, entries);
  return entries;
}
