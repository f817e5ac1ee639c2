#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

const std::string Mismatch =
    "The downloaded file failed SHA-256 verification. Nothing was installed.";
// SHA-256 of "abc".
const std::wstring Abc = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, KnownDigestsWithOneReportPerRead) {
  struct Case {
    std::string content;
    std::wstring digest;  // from sha256sum
    std::vector<std::uint64_t> done;
  };
  const Case cases[] = {
      {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", {}},
      {"abc", Abc, {3}},
      {std::string(131072, 'x'), L"15601535eca4a38b7e31ad6494861121cb9f84ccf55d4beb6a707d4f7a87813d",
       {131072}},
      // Bytes i % 251: three reads, the last one short.
      {test::PatternBytes(300000),
       L"3c65ea93424a9c362fec0e3a69ea36031e8a358441479dd665cc6110eabe7b08",
       {131072, 262144, 300000}},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::RecordingSink sink;
    test::WriteBytes(dir / L"VORNRunner.zip", c.content);
    EXPECT_EQ(FileSha256Hex(dir / L"VORNRunner.zip", L"Verifying runner update", sink), c.digest);
    ASSERT_EQ(sink.steps.size(), c.done.size()) << c.content.size();
    for (std::size_t i = 0; i < c.done.size(); ++i) {
      EXPECT_EQ(sink.steps[i].title, L"Verifying runner update");
      EXPECT_EQ(sink.steps[i].detail, L"VORNRunner.zip");
      EXPECT_EQ(sink.steps[i].done, c.done[i]);
      EXPECT_EQ(sink.steps[i].total, c.content.size());
    }
  }
}

TEST(Sha256, VerificationIgnoresTheCaseOfAsciiLettersOnly) {
  test::TempDir dir;
  test::RecordingSink sink;
  test::WriteBytes(dir / L"f", "abc");
  struct Case {
    std::wstring expected;
    bool matches;
  };
  const Case cases[] = {
      {L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", true},
      {L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae", false},
      {Abc.substr(0, 63), false},
      {Abc + L"0", false},
      // A fullwidth letter is no hex digit, whatever its case.
      {L"\uFF22\uFF21" + Abc.substr(2), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(test::FailureOf([&] { VerifyFileSha256(dir / L"f", c.expected, L"t", sink); }),
              c.matches ? "no failure" : Mismatch);
  }
}

TEST(Sha256, AMissingFileIsUnreadable) {
  test::TempDir dir;
  test::RecordingSink sink;
  EXPECT_EQ(test::FailureOf([&] { FileSha256Hex(dir / L"missing", L"t", sink); }),
            "Could not read a downloaded file.");
  EXPECT_TRUE(sink.steps.empty());
}

}  // namespace
