#include "manifest/manifest_reader.h"

#include <limits>

#include "update/update_error.h"

namespace {

bool IsAsciiWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void FailInvalid() { throw UpdateError("Invalid update manifest."); }

std::size_t SkipWhiteSpace(std::string_view text, std::size_t position) {
  while (position < text.size() && IsAsciiWhiteSpace(text[position])) {
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
  std::size_t position = SkipWhiteSpace(text, FindManifestValue(text, key));
  bool negative = false;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
    negative = text[position] == '-';
    ++position;
  }
  constexpr std::uint64_t Max = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t magnitude = 0;
  for (; position < text.size() && IsDecimalDigit(text[position]); ++position) {
    const auto digit = static_cast<std::uint64_t>(text[position] - '0');
    if (magnitude > (Max - digit) / 10) {
      return Max;
    }
    magnitude = magnitude * 10 + digit;
  }
  return negative ? 0 - magnitude : magnitude;
}
