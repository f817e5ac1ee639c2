#pragma once

// Builds without Windows headers so the scanner can also be fuzzed natively.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/update_options.h"

// Reads already split arguments (argument 0 is the program and is skipped)
// into options and validates them. Throws `UpdateError` when the instructions
// are incomplete.
UpdateOptions ScanOptions(const std::vector<std::wstring>& arguments);

// Decimal conversion with the results of the Windows C library's `wcstoul`
// in base 10: leading white space and one sign accepted, stops at the first
// non-digit, no digits give 0, a magnitude beyond 32 bits gives 4294967295,
// and a minus sign negates modulo 2^32. Independent of the width of wchar_t.
std::uint32_t ParseProcessId(std::wstring_view text);

// The URL of one payload file: the download base, a slash, the file name.
std::wstring BuildDownloadUrl(const UpdateOptions& options, const std::wstring& fileName);
