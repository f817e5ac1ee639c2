#include "manifest/release_manifest.h"

#include "common/text_conversion.h"
#include "common/update_error.h"
#include "manifest/manifest_reader.h"

namespace {

constexpr std::size_t Sha256HexLength = 64;

}  // namespace

ReleaseManifest ParseReleaseManifest(std::string_view text) {
  ReleaseManifest manifest;
  manifest.protocol =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(ReadManifestNumber(text, "protocol")));
  manifest.launcherVersion = Utf8ToWide(ReadManifestString(text, "launcherVersion"));
  manifest.runnerVersion = Utf8ToWide(ReadManifestString(text, "runnerVersion"));
  manifest.launcherSha256 = Utf8ToWide(ReadManifestString(text, "launcherSha256"));
  manifest.runnerSha256 = Utf8ToWide(ReadManifestString(text, "runnerSha256"));
  manifest.launcherSize = ReadManifestNumber(text, "launcherSize");
  manifest.runnerSize = ReadManifestNumber(text, "runnerSize");

  if (manifest.protocol < 1 || manifest.launcherSha256.size() != Sha256HexLength ||
      manifest.runnerSha256.size() != Sha256HexLength || manifest.launcherSize == 0 ||
      manifest.runnerSize == 0) {
    throw UpdateError("Invalid update manifest.");
  }
  return manifest;
}
