#include "fs/paths.h"

#include <windows.h>

#include <string_view>

#include "common/scoped_handle.h"

namespace {

std::wstring FullPath(const std::filesystem::path& path) {
  std::wstring full(::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
  full.resize(::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                 nullptr));
  return full.empty() ? path.native() : full;
}

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::filesystem::path LauncherFileName() { return LauncherExeName; }
std::filesystem::path RunnerDirName() { return RunnerDirectoryName; }
std::filesystem::path RunnerStampFileName() { return RunnerStampName; }

bool IsSameOrWithin(const std::wstring& path, const std::filesystem::path& target) {
  std::wstring full = FullPath(target);
  while (full.size() > 1 && (full.back() == L'\\' || full.back() == L'/')) {
    full.pop_back();
  }
  const std::wstring_view candidate(path);
  return candidate.size() >= full.size() &&
         SameIgnoringCase(candidate.substr(0, full.size()), full) &&
         (candidate.size() == full.size() || candidate[full.size()] == L'\\');
}

std::wstring FinalPath(const std::filesystem::path& path) {
  // No access asked for: the file may be a running program, or held.
  const FileHandle file(::CreateFileW(path.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    return {};
  }
  std::wstring final(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(file.get(), final.data(),
                                                     static_cast<DWORD>(final.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      return {};
    }
    if (length < final.size()) {
      final.resize(length);
      return final;
    }
    final.resize(length);
  }
}

std::filesystem::path TemporaryDirectory() { return std::filesystem::temp_directory_path(); }
