// Splits arbitrary bytes into an argument list and runs the option scanner on
// it, then checks the process id conversion of every argument against a
// reference computed differently, with 64-bit arithmetic.
//
// Input format, independent of the width of wchar_t: a 0x00 byte ends an
// argument; 0xFF followed by two bytes (little-endian) is one UTF-16 code
// unit; every other byte is the code unit of the same value. Every code unit
// therefore fits a 16-bit wchar_t as well as a 32-bit one.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/option_scanner.h"
#include "common/update_error.h"

namespace {

// A broken invariant must stop the run with a report, whatever NDEBUG says.
void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

std::vector<std::wstring> SplitArguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::wstring> arguments(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0x00) {
      arguments.emplace_back();
    } else if (data[i] == 0xFF && i + 2 < size) {
      const unsigned unit = data[i + 1] | (static_cast<unsigned>(data[i + 2]) << 8);
      arguments.back().push_back(static_cast<wchar_t>(unit));
      i += 2;
    } else {
      arguments.back().push_back(static_cast<wchar_t>(data[i]));
    }
  }
  return arguments;
}

bool IsWhiteSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// The conversion by another route: find the digits first, then decide
// overflow by their count and value.
std::uint32_t ReferenceProcessId(std::wstring_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  while (i < text.size() && text[i] == L'0') {
    ++i;
  }
  std::size_t end = i;
  while (end < text.size() && text[end] >= L'0' && text[end] <= L'9') {
    ++end;
  }
  if (end - i > 10) {
    return 4294967295u;
  }
  std::uint64_t value = 0;  // at most 10 digits: below 2^34
  for (; i < end; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - L'0');
  }
  if (value > 4294967295u) {
    return 4294967295u;
  }
  if (negative) {
    value = (std::uint64_t{1} << 32) - value;
  }
  return static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
}

std::wstring Decimal(std::uint32_t value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

void CheckScan(const std::vector<std::wstring>& arguments) {
  UpdateOptions options;
  try {
    options = ScanOptions(arguments);
  } catch (const UpdateError&) {
    return;
  }
  Check(!options.installDir.empty() && !options.manifestUrl.empty());
  Check(!options.downloadBase.empty() && options.downloadBase.back() != L'/');
  Check(options.launcher || options.runner);
  bool pidGiven = false;
  for (const std::wstring& argument : arguments) {
    pidGiven = pidGiven || argument == L"--launcher-pid";
  }
  Check(pidGiven || options.launcherPid == 0);
  Check(BuildDownloadUrl(options, L"VORNRunner.zip") ==
        options.downloadBase + L"/VORNRunner.zip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::wstring> arguments = SplitArguments(data, size);
  CheckScan(arguments);
  for (const std::wstring& argument : arguments) {
    Check(ParseProcessId(argument) == ReferenceProcessId(argument));
  }

  // Any 32-bit value survives the round trip through its decimal text, with
  // the accepted prefixes, and a minus sign negates it modulo 2^32.
  if (size >= 4) {
    const std::uint32_t value = data[0] | (static_cast<std::uint32_t>(data[1]) << 8) |
                                (static_cast<std::uint32_t>(data[2]) << 16) |
                                (static_cast<std::uint32_t>(data[3]) << 24);
    const std::wstring text = Decimal(value);
    Check(ParseProcessId(text) == value);
    Check(ParseProcessId(L" \t+" + text + L"x") == value);
    Check(ParseProcessId(L"-" + text) == 0u - value);
    Check(ParseProcessId(L"000" + text + L"0") == (value > 429496729u ? 4294967295u : value * 10));
  }
  return 0;
}
