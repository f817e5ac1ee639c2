#include "manifest/text_conversion.h"

#include <gtest/gtest.h>

namespace {

TEST(TextConversion, RoundTripsAndReplacesMalformedInput) {
  struct Case {
    std::string utf8;
    std::wstring wide;
  };
  const Case cases[] = {
      {"", L""},
      {"plain", L"plain"},
      {"\xC3\xA9\xE6\xBC\xA2", L"\u00E9\u6F22"},
      {"\xF0\x9F\x98\x80", L"\U0001F600"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
    EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
  }
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  const wchar_t unpaired[] = {L'x', static_cast<wchar_t>(0xD800), L'y', 0};
  EXPECT_EQ(WideToUtf8(unpaired), "x\xEF\xBF\xBDy");
}

}  // namespace
