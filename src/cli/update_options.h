#pragma once

#include <cstdint>
#include <string>

#ifndef VORN_DOWNLOAD_HOST
#define VORN_DOWNLOAD_HOST "updates.vorn-macros.example"
#endif

#define VORN_WIDEN_(text) L##text
#define VORN_WIDEN(text) VORN_WIDEN_(text)

// The download service used when the launcher passes no --download-base.
inline constexpr const wchar_t* DefaultDownloadBase =
    L"https://" VORN_WIDEN(VORN_DOWNLOAD_HOST) L"/api/v3/release/download";

// What the launcher asked for on the command line.
struct UpdateOptions {
  std::wstring installDir;
  std::wstring manifestUrl;
  std::wstring downloadBase = DefaultDownloadBase;
  bool launcher = false;
  bool runner = false;
  bool repair = false;
  std::uint32_t launcherPid = 0;
};
