#pragma once

// Character tests and the number reader shared by the command line and the
// manifest. Standard library only, for either character type, so the native
// fuzz build can use them too.

#include <cstdint>
#include <string_view>

// The white space of the C library in the "C" locale.
template <typename Char>
constexpr bool IsAsciiSpace(Char c) {
  return c == Char(' ') || (c >= Char('\t') && c <= Char('\r'));
}

template <typename Char>
constexpr bool IsDecimalDigit(Char c) {
  return c >= Char('0') && c <= Char('9');
}

// An optional sign and the decimal digits after it, read from the start of
// `text` with the leniency of the C library's unsigned conversions: reading
// stops at the first non-digit, no digit gives 0, a magnitude above `max`
// gives `max` whatever the sign, and a minus sign negates modulo `max` + 1.
// `max` is 2^n - 1.
template <typename Char>
constexpr std::uint64_t ReadClampedDecimal(std::basic_string_view<Char> text, std::uint64_t max) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == Char('+') || text[i] == Char('-'))) {
    negative = text[i] == Char('-');
    ++i;
  }
  std::uint64_t magnitude = 0;
  for (; i < text.size() && IsDecimalDigit(text[i]); ++i) {
    const auto digit = static_cast<std::uint64_t>(text[i] - Char('0'));
    if (magnitude > (max - digit) / 10) {
      return max;
    }
    magnitude = magnitude * 10 + digit;
  }
  return negative ? (0 - magnitude) & max : magnitude;
}
