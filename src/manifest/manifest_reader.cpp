#include "manifest/manifest_reader.h"

#include <limits>

#include "common/text_scan.h"
#include "common/update_error.h"

namespace {

[[noreturn]] void FailInvalid() { throw UpdateError("Invalid update manifest."); }

std::size_t SkipWhiteSpace(std::string_view text, std::size_t position) {
  while (position < text.size() && IsAsciiSpace(text[position])) {
    ++position;
  }
  return position;
}

}  // namespace

std::size_t FindManifestValue(std::string_view text, std::string_view key) {
  std::string pattern;
  pattern.reserve(key.size() + 2);
  pattern.append(1, '"').append(key).append(1, '"');
  const std::size_t keyPosition = text.find(pattern);
  if (keyPosition == std::string_view::npos) {
    throw UpdateError("The update manifest is missing a required field.");
  }
  const std::size_t colon = text.find(':', keyPosition);
  if (colon == std::string_view::npos) {
    FailInvalid();
  }
  return colon + 1;
}

std::string ReadManifestString(std::string_view text, std::string_view key) {
  const std::size_t start = SkipWhiteSpace(text, FindManifestValue(text, key));
  if (start >= text.size() || text[start] != '"') {
    FailInvalid();
  }
  const std::size_t end = text.find('"', start + 1);
  if (end == std::string_view::npos) {
    FailInvalid();
  }
  return std::string(text.substr(start + 1, end - start - 1));
}

std::uint64_t ReadManifestNumber(std::string_view text, std::string_view key) {
  const std::size_t start = SkipWhiteSpace(text, FindManifestValue(text, key));
  return ReadClampedDecimal(text.substr(start), std::numeric_limits<std::uint64_t>::max());
}
