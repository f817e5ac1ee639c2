#include "manifest/manifest_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "support/failure_of.h"

namespace {

TEST(ManifestReader, FindsTheFirstQuotedOccurrenceAnywhere) {
  // The key's first occurrence wins, even as a string value: the value is
  // then read after the next colon, wherever that is.
  const std::string text = R"({"note": "protocol", "x": 5, "protocol": 1})";
  EXPECT_EQ(text.substr(FindManifestValue(text, "protocol")), R"( 5, "protocol": 1})");
  EXPECT_EQ(ReadManifestNumber(text, "protocol"), 5u);
  // Bytes between the key's closing quote and the colon are skipped.
  EXPECT_EQ(ReadManifestNumber(R"("size" junk : 42)", "size"), 42u);
  // An unquoted occurrence is not the key.
  EXPECT_EQ(ReadManifestNumber(R"(size: 1, "size": 2)", "size"), 2u);
}

TEST(ManifestReader, MissingKeyOrColon) {
  EXPECT_EQ(test::FailureOf([] { FindManifestValue(R"({"Protocol": 1})", "protocol"); }),
            "The update manifest is missing a required field.");
  EXPECT_EQ(test::FailureOf([] { FindManifestValue(R"({"protocol" 1})", "protocol"); }),
            "Invalid update manifest.");
  EXPECT_EQ(test::FailureOf([] { FindManifestValue("", "protocol"); }),
            "The update manifest is missing a required field.");
}

TEST(ManifestReader, StringValues) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {R"("v": "2.1.0")", "2.1.0"},
      {"\"v\":\t\r\n\v\f \"x\"", "x"},
      {R"("v": "")", ""},
      {R"("v": "1.0\"beta")", "1.0\\"},
      {R"("v": "a\u00e9")", "a\\u00e9"},
      {"\"v\": \"caf\xC3\xA9\"", "caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadManifestString(c.text, "v"), c.expected) << c.text;
  }
  for (const std::string text : {R"("v": 2)", R"("v": )", R"("v":)", R"("v": "open)",
                                 R"("v": 'single')"}) {
    EXPECT_EQ(test::FailureOf([&] { ReadManifestString(text, "v"); }), "Invalid update manifest.")
        << text;
  }
}

// The reading of signs, digits and overflow is shared with the process id
// and tested there; here what is the manifest's own: 64 bits, white space
// before the value, and what follows the digits.
TEST(ManifestReader, NumberValues) {
  struct Case {
    std::string value;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"  \n 42,", 42},
      {"-5", 18446744073709551611ull},
      {"1.9", 1},
      {"1e6", 1},
      {"\"42\"", 0},
      {"18446744073709551615", 18446744073709551615ull},
      {"18446744073709551616", 18446744073709551615ull},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadManifestNumber("{\"n\":" + c.value, "n"), c.expected) << c.value;
  }
}

}  // namespace
