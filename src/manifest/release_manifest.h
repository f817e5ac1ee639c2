#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What the release manifest says about the release to install.
struct ReleaseManifest {
  std::int32_t protocol = 0;
  std::wstring launcherVersion;
  std::wstring runnerVersion;
  std::wstring launcherSha256;
  std::wstring runnerSha256;
  std::uint64_t launcherSize = 0;
  std::uint64_t runnerSize = 0;
};

// Reads the seven fields in a fixed order (the first failing read decides the
// message), then validates them. Throws `UpdateError`.
ReleaseManifest ParseReleaseManifest(std::string_view text);
