#include "cli/option_scanner.h"

#include <limits>

#include "common/text_scan.h"
#include "common/update_error.h"

namespace {

void RemoveTrailingSlashes(std::wstring& text) {
  while (!text.empty() && text.back() == L'/') {
    text.pop_back();
  }
}

}  // namespace

std::uint32_t ParseProcessId(std::wstring_view text) {
  std::size_t start = 0;
  while (start < text.size() && IsAsciiSpace(text[start])) {
    ++start;
  }
  return static_cast<std::uint32_t>(
      ReadClampedDecimal(text.substr(start), std::numeric_limits<std::uint32_t>::max()));
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
