#pragma once

// The byte-level reader of the release manifest. It builds without Windows
// headers so it can also be fuzzed natively.
//
// The reader is deliberately narrow: it finds a key by plain text search for
// the quoted key and reads the one value after the next colon. It decodes no
// JSON escapes and ignores everything else in the document.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Position of the first byte after the colon that follows the first
// occurrence of "<key>". Throws `UpdateError` when the key or the colon is
// missing.
std::size_t FindManifestValue(std::string_view text, std::string_view key);

// The raw bytes between the opening quote of the key's value and the next
// double quote. Throws `UpdateError` when the value is not a quoted text.
std::string ReadManifestString(std::string_view text, std::string_view key);

// The key's value read as an unsigned 64-bit decimal number, with the
// leniency of `strtoull`: one sign, stop at the first non-digit, 0 without
// digits, 2^64 - 1 on overflow, a minus sign negating modulo 2^64.
std::uint64_t ReadManifestNumber(std::string_view text, std::string_view key);
