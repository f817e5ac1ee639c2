// Feeds arbitrary bytes as manifest text to the three readers, for each key
// the updater reads. The bytes are viewed in place, without a terminating
// NUL, so AddressSanitizer sees any read past the end of the document.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "manifest/manifest_reader.h"
#include "common/update_error.h"

namespace {

constexpr std::string_view Keys[] = {"protocol",       "launcherVersion", "runnerVersion",
                                     "launcherSha256", "runnerSha256",    "launcherSize",
                                     "runnerSize"};

// A broken invariant must stop the run with a report, whatever NDEBUG says.
void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// The number the reader promises: what the C library's strtoull gives in
// base 10 for the text after the colon.
std::uint64_t ReferenceNumber(std::string_view text, std::size_t valueStart) {
  const std::string value(text.substr(valueStart));
  errno = 0;
  return std::strtoull(value.c_str(), nullptr, 10);
}

void ReadKey(std::string_view text, std::string_view key) {
  std::size_t valueStart = 0;
  try {
    valueStart = FindManifestValue(text, key);
  } catch (const UpdateError&) {
    // Without the key both readers must fail as well.
    bool stringFailed = false;
    try {
      ReadManifestString(text, key);
    } catch (const UpdateError&) {
      stringFailed = true;
    }
    bool numberFailed = false;
    try {
      ReadManifestNumber(text, key);
    } catch (const UpdateError&) {
      numberFailed = true;
    }
    Check(stringFailed && numberFailed);
    return;
  }
  Check(valueStart >= key.size() + 3 && valueStart <= text.size());
  Check(text[valueStart - 1] == ':');
  const std::string quotedKey = '"' + std::string(key) + '"';
  Check(text.find(quotedKey) < valueStart - 1);

  try {
    const std::string value = ReadManifestString(text, key);
    Check(value.find('"') == std::string::npos);
    Check(value.size() < text.size() - valueStart);
  } catch (const UpdateError&) {
  }

  const std::uint64_t number = ReadManifestNumber(text, key);
  Check(number == ReferenceNumber(text, valueStart));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::string_view key : Keys) {
    ReadKey(text, key);
  }
  return 0;
}
