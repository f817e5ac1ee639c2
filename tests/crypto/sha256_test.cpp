#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

struct Vector {
  std::string content;
  std::wstring digest;
};

// Digests fixed from sha256sum on Linux.
const Vector Vectors[] = {
    {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    // 300,000 bytes of i % 251: three reads, the last one short.
    {test::PatternBytes(300000), L"3c65ea93424a9c362fec0e3a69ea36031e8a358441479dd665cc6110eabe7b08"},
};

TEST(Sha256, KnownDigestsWithOneReportPerRead) {
  for (const Vector& v : Vectors) {
    test::TempDir dir;
    test::MessageSink sink;
    test::WriteBytes(dir / L"VORNRunner.zip", v.content);
    EXPECT_EQ(FileSha256Hex(dir / L"VORNRunner.zip", L"Verifying runner update"), v.digest);
    const auto updates = sink.Drain();
    ASSERT_EQ(updates.size(), (v.content.size() + 131071) / 131072);
    for (const ProgressUpdate& update : updates) {
      EXPECT_EQ(update.title, L"Verifying runner update");
      EXPECT_EQ(update.detail, L"VORNRunner.zip");
    }
    if (!updates.empty()) {
      EXPECT_EQ(updates.back().permille, 1000);
    }
  }
}

TEST(Sha256, ExactChunkGivesOneFullReport) {
  test::TempDir dir;
  test::MessageSink sink;
  test::WriteBytes(dir / L"f", std::string(131072, 'x'));
  FileSha256Hex(dir / L"f", L"t");
  const auto updates = sink.Drain();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].permille, 1000);
}

TEST(Sha256, VerificationIgnoresAsciiCaseOnly) {
  test::TempDir dir;
  test::MessageSink sink;
  test::WriteBytes(dir / L"f", "abc");
  const std::wstring digest = Vectors[1].digest;
  const std::string mismatch = "The downloaded file failed SHA-256 verification. Nothing was installed.";
  struct Case {
    std::wstring expected;
    bool matches;
  };
  std::wstring upper = digest;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
  std::wstring oneOff = digest;
  oneOff[10] = oneOff[10] == L'0' ? L'1' : L'0';
  const Case cases[] = {
      {digest, true},
      {upper, true},
      {oneOff, false},
      {digest.substr(0, 63), false},
      {digest + L"0", false},
      {std::wstring(64, L'g'), false},
      {L"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(test::FailureOf([&] { VerifyFileSha256(dir / L"f", c.expected, L"t"); }),
              c.matches ? "no failure" : mismatch);
  }
  // Only ASCII letters fold: a fullwidth letter is not a hex digit.
  EXPECT_FALSE(DigestTextsEqual(L"\uFF41", L"a"));
}

TEST(Sha256, UnreadableFiles) {
  test::TempDir dir;
  test::MessageSink sink;
  EXPECT_EQ(test::FailureOf([&] { FileSha256Hex(dir / L"missing", L"t"); }),
            "Could not read a downloaded file.");
  test::WriteBytes(dir / L"locked", "x");
  const HANDLE held = ::CreateFileW((dir / L"locked").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(test::FailureOf([&] { FileSha256Hex(dir / L"locked", L"t"); }),
            "Could not read a downloaded file.");
  ::CloseHandle(held);
  EXPECT_TRUE(sink.Drain().empty());
}

}  // namespace
