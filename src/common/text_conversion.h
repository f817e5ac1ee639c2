#pragma once

#include <string>
#include <string_view>

// UTF-8 to UTF-16. Malformed input becomes U+FFFD; never fails.
std::wstring Utf8ToWide(std::string_view utf8);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD; never fails.
std::string WideToUtf8(std::wstring_view wide);
