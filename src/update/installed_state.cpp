#include "update/installed_state.h"

#include <fstream>
#include <iterator>
#include <string>

#include "common/text_conversion.h"
#include "crypto/sha256.h"
#include "fs/durable_file.h"
#include "fs/file_ops.h"
#include "fs/paths.h"

namespace fs = std::filesystem;

namespace {

bool StampContains(const std::string& stamp, const std::wstring& value) {
  const std::string utf8 = WideToUtf8(value);
  return utf8.empty() || stamp.find(utf8) != std::string::npos;
}

}  // namespace

bool IsLauncherCurrent(const fs::path& launcherPath, const ReleaseManifest& manifest,
                       ProgressSink& progress) {
  if (!PathExists(launcherPath)) {
    return false;
  }
  return DigestTextsEqual(FileSha256Hex(launcherPath, L"Checking installed launcher", progress),
                          manifest.launcherSha256);
}

bool IsRunnerCurrent(const fs::path& runnerDir, const ReleaseManifest& manifest) {
  const fs::path stampPath = runnerDir / RunnerStampFileName();
  if (!PathExists(runnerDir / RunnerExeName) || !PathExists(stampPath)) {
    return false;
  }
  std::ifstream input(stampPath);
  const std::string stamp{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
  return StampContains(stamp, manifest.runnerVersion) &&
         StampContains(stamp, manifest.runnerSha256);
}

void WriteRunnerStamp(const fs::path& runnerDir, const ReleaseManifest& manifest) {
  const std::string stamp = "{\r\n  \"runnerVersion\": \"" + WideToUtf8(manifest.runnerVersion) +
                            "\",\r\n  \"runnerSha256\": \"" + WideToUtf8(manifest.runnerSha256) +
                            "\"\r\n}\r\n";
  // Written after the whole runner is on the disk, and flushed before the
  // runner is renamed into place: a stamp on the disk means its runner is.
  // A stamp that cannot be written or flushed only makes a repair run
  // install the runner again.
  DurableFile file(runnerDir / RunnerStampFileName());
  if (file.IsOpen() && file.Write(stamp.data(), stamp.size())) {
    static_cast<void>(file.FlushToDisk());
  }
}
