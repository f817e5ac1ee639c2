#include "fs/paths.h"

#include <windows.h>

#include <string_view>

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

std::filesystem::path TemporaryDirectory() { return std::filesystem::temp_directory_path(); }
