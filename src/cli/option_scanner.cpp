#include "cli/option_scanner.h"

#include <limits>

#include "update/update_error.h"

namespace {

bool IsCWhiteSpace(wchar_t c) {
  return c == L' ' || (c >= L'\t' && c <= L'\r');
}

bool IsDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

void RemoveTrailingSlashes(std::wstring& text) {
  while (!text.empty() && text.back() == L'/') {
    text.pop_back();
  }
}

}  // namespace

std::uint32_t ParseProcessId(std::wstring_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsCWhiteSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  constexpr std::uint64_t Max = std::numeric_limits<std::uint32_t>::max();
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size() && IsDecimalDigit(text[i]); ++i) {
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - L'0');
    if (magnitude > Max) {
      overflow = true;
      magnitude = Max;
    }
  }
  if (overflow) {
    return static_cast<std::uint32_t>(Max);
  }
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

UpdateOptions ScanOptions(const std::vector<std::wstring>& arguments) {
  UpdateOptions options;
  const std::wstring noValue;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& name = arguments[i];
    const std::wstring& value = i + 1 < arguments.size() ? arguments[i + 1] : noValue;
    bool takesValue = true;
    if (name == L"--install-dir") {
      options.installDir = value;
    } else if (name == L"--manifest-url") {
      options.manifestUrl = value;
    } else if (name == L"--components") {
      options.launcher = value.find(L"launcher") != std::wstring::npos;
      options.runner = value.find(L"runner") != std::wstring::npos;
    } else if (name == L"--launcher-pid") {
      options.launcherPid = ParseProcessId(value);
    } else if (name == L"--download-base") {
      options.downloadBase = value;
    } else if (name == L"--github-owner" || name == L"--github-repo" ||
               name == L"--github-tag") {
      // Accepted for older launchers; the value means nothing here.
    } else if (name == L"--repair") {
      options.repair = true;
      takesValue = false;
    } else {
      takesValue = false;
    }
    if (takesValue) {
      ++i;
    }
  }

  RemoveTrailingSlashes(options.downloadBase);
  if (options.installDir.empty() || options.manifestUrl.empty() ||
      options.downloadBase.empty() || !(options.launcher || options.runner)) {
    throw UpdateError("The updater received incomplete update instructions.");
  }
  return options;
}

std::wstring BuildDownloadUrl(const UpdateOptions& options, const std::wstring& fileName) {
  return options.downloadBase + L"/" + fileName;
}
