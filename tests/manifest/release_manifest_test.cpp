#include "manifest/release_manifest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/failure_of.h"

namespace {

const std::string Invalid = "Invalid update manifest.";
const std::string Missing = "The update manifest is missing a required field.";

// `count` times `piece`, in double quotes.
std::string Quoted(const std::string& piece, int count = 1) {
  std::string text = "\"";
  for (int i = 0; i < count; ++i) {
    text += piece;
  }
  return text + "\"";
}

// A valid manifest, field by field, in which tests replace single values.
std::map<std::string, std::string> ValidFields() {
  return {{"protocol", "1"},
          {"launcherVersion", "\"2.0 \xC3\xA9\""},
          {"runnerVersion", "\"\""},
          {"launcherSha256", Quoted("a", 64)},
          {"runnerSha256", Quoted("B", 64)},
          {"launcherSize", "1000.5e3"},
          {"runnerSize", "2000"}};
}

// Not JSON: a byte-order mark, a comment, nesting and stray commas, which
// the reader must not care about.
std::string Document(const std::map<std::string, std::string>& fields) {
  std::string text = "\xEF\xBB\xBF// release\n{\"extra\": [1, {\"deep\": {";
  for (const auto& [key, value] : fields) {
    text += "\"" + key + "\": " + value + ",, ";
  }
  return text + "}}]";
}

std::string FailureOf(const std::string& text) {
  return test::FailureOf([&] { ParseReleaseManifest(text); });
}

TEST(ReleaseManifest, ReadsEveryFieldWhereverItStands) {
  const ReleaseManifest manifest = ParseReleaseManifest(Document(ValidFields()));
  EXPECT_EQ(manifest.protocol, 1);
  EXPECT_EQ(manifest.launcherVersion, L"2.0 \u00E9");
  EXPECT_EQ(manifest.runnerVersion, L"");
  EXPECT_EQ(manifest.launcherSha256, std::wstring(64, L'a'));
  EXPECT_EQ(manifest.runnerSha256, std::wstring(64, L'B'));
  EXPECT_EQ(manifest.launcherSize, 1000u);
  EXPECT_EQ(manifest.runnerSize, 2000u);
}

TEST(ReleaseManifest, ValidationRules) {
  struct Case {
    const char* key;
    std::string value;
    std::string failure;  // empty: accepted
  };
  const Case cases[] = {
      {"protocol", "2", ""},
      {"protocol", "0", Invalid},
      {"protocol", "\"1\"", Invalid},
      {"protocol", "4294967297", ""},       // low 32 bits are 1
      {"protocol", "2147483648", Invalid},  // low 32 bits are negative
      {"launcherSha256", Quoted("a", 63), Invalid},
      {"runnerSha256", Quoted("a", 65), Invalid},
      {"runnerSha256", Quoted("z", 64), ""},  // characters are not checked here
      // 64 bytes of UTF-8, but only 32 UTF-16 code units.
      {"launcherSha256", Quoted("\xC3\xA9", 32), Invalid},
      {"launcherSize", "0", Invalid},
      {"launcherSize", "\"1000\"", Invalid},
      {"runnerSize", "-5", ""},
      {"launcherVersion", "1", Invalid},
  };
  for (const Case& c : cases) {
    auto fields = ValidFields();
    fields[c.key] = c.value;
    EXPECT_EQ(FailureOf(Document(fields)), c.failure.empty() ? "no failure" : c.failure)
        << c.key << " = " << c.value;
  }
}

TEST(ReleaseManifest, FirstFailingReadDecides) {
  // Validation runs only after all seven reads.
  auto fields = ValidFields();
  // Erased and emplaced: GCC 12 warns falsely on assigning a short literal.
  fields.erase("protocol");
  fields.emplace("protocol", "0");
  fields.erase("runnerSize");
  EXPECT_EQ(FailureOf(Document(fields)), Missing);
  // Reads run in a fixed order: launcherVersion comes before runnerSize.
  fields = ValidFields();
  fields["launcherVersion"] = "2.0.0";
  fields.erase("runnerSize");
  EXPECT_EQ(FailureOf(Document(fields)), Invalid);
}

}  // namespace
