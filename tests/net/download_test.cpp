#include "net/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/file_ops.h"
#include "net/net_test_helpers.h"
#include "support/test_support.h"

namespace {

using namespace nettest;
namespace fs = std::filesystem;

const std::string NoFailure = "no failure";
const std::string HttpError = "The update server returned an HTTP error.";
const std::string Unreachable = "The update server could not be reached.";
const std::string Empty = "Update manifest is empty.";
const std::string TooLarge = "Update manifest is too large.";
const std::string SizeMismatch = "The downloaded file size does not match the release manifest.";

class Transfers : public ::testing::TestWithParam<bool> {
 protected:
  std::wstring Url(const std::wstring& path) const { return Base(GetParam()) + path; }
};

INSTANTIATE_TEST_SUITE_P(Schemes, Transfers, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "https" : "http"; });

TEST_P(Transfers, ManifestIsTheWholeBody) {
  std::string manifest = "{\"files\":[";
  while (manifest.size() < 50000) {
    manifest += "{\"name\":\"VORNLauncher.exe\",\"sha256\":\"00ff\"},";
  }
  manifest += "{}]}";
  const std::wstring path = Serve(UniqueTag(), L"manifest.json", manifest);
  EXPECT_EQ(FetchManifestText(Url(path)), manifest);
}

TEST_P(Transfers, ManifestSizeAndFailures) {
  struct Case {
    const wchar_t* path;
    const std::string& outcome;
    std::size_t size;  // of the pattern returned on success
  };
  const Case cases[] = {
      {L"/_gen/1", NoFailure, 1},
      {L"/_gen/16385", NoFailure, 16385},
      {L"/_gen/131072", NoFailure, 131072},
      {L"/_gen/131073", TooLarge, 0},
      {L"/_gen/1000000", TooLarge, 0},
      {L"/_fault/endless=1/", TooLarge, 0},
      {L"/_fault/status=200/", Empty, 0},
      {L"/_fault/status=204/", Empty, 0},
      {L"/_fault/truncate=0/_gen/100", Empty, 0},
      {L"/_fault/status=404/", HttpError, 0},
      {L"/_fault/status=500/", HttpError, 0},
      {L"/_fault/drop=1/", Unreachable, 0},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(test::FailureOf([&] { text = FetchManifestText(Url(c.path)); }), c.outcome)
        << Narrow(c.path);
    if (c.outcome == NoFailure) {
      EXPECT_EQ(text, test::PatternBytes(c.size)) << Narrow(c.path);
    }
  }
}

// A target inside a directory that does not exist yet, and a window that
// collects the progress reports.
struct Download {
  test::TempDir dir{L"net"};
  fs::path parent = dir / L"downloads" / L"runner";
  fs::path target = parent / L"VORNRunner.zip";
  test::MessageSink sink;
};

TEST_P(Transfers, PayloadOfTheExpectedSizeArrivesByteExact) {
  std::string file = test::PatternBytes(200000);
  std::reverse(file.begin(), file.end());
  struct Case {
    std::wstring path;
    std::string bytes;
  };
  const Case cases[] = {
      {L"/_gen/300001", test::PatternBytes(300001)},
      {Serve(UniqueTag(), L"payload.bin", file), file},
      {L"/_gen/1", test::PatternBytes(1)},
  };
  for (const Case& c : cases) {
    Download download;
    EXPECT_EQ(test::FailureOf([&] {
                DownloadToFile(Url(c.path), download.target, c.bytes.size(), L"Runner");
              }),
              NoFailure)
        << Narrow(c.path);
    EXPECT_TRUE(test::ReadBytes(download.target) == c.bytes) << Narrow(c.path);
  }
}

TEST_P(Transfers, WrongSizeLeavesNoFile) {
  struct Case {
    const wchar_t* path;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {L"/_gen/1000", 1001},                           // one byte short
      {L"/_gen/1000", 999},                            // one byte over
      {L"/_fault/extra=1/_gen/1000", 1000},            // one byte over, announced
      {L"/_gen/262145", 262144},                       // over only in a later piece
      {L"/_fault/status=200/", 10},                    // nothing at all
      {L"/_fault/truncate=0/_gen/1000", 1000},         // dropped before the body
      {L"/_fault/truncate=500/_gen/1000", 1000},       // dropped mid-body
      {L"/_fault/truncate=200000/_gen/400000", 400000},
      {L"/_fault/endless=1/", 1000},                   // never ends
  };
  for (const Case& c : cases) {
    // A file already at the target goes as well: it was overwritten from the
    // start, so nothing of it would be worth keeping.
    for (bool existing : {false, true}) {
      Download download;
      if (existing) {
        test::WriteBytes(download.target, "earlier download");
      }
      EXPECT_EQ(test::FailureOf([&] {
                  DownloadToFile(Url(c.path), download.target, c.expected, L"Runner");
                }),
                SizeMismatch)
          << Narrow(c.path) << " " << existing;
      EXPECT_FALSE(PathExists(download.target)) << Narrow(c.path) << " " << existing;
    }
  }
}

TEST_P(Transfers, EndlessBodyIsAbandonedEarly) {
  const std::wstring path = L"/_fault/endless=1/?t=" + UniqueTag();
  Download download;
  EXPECT_EQ(test::FailureOf([&] {
              DownloadToFile(Url(path), download.target, 4096, L"Runner");
            }),
            SizeMismatch);
  EXPECT_FALSE(PathExists(download.target));
  const auto requests = RequestsStartingWith(path);
  ASSERT_EQ(requests.size(), 1u);
  // What the server managed to push into socket buffers, far from its cap.
  EXPECT_LT(requests[0].bytes, std::uint64_t{256} << 20);
}

TEST_P(Transfers, ZeroExpectedSizeAcceptsAnySize) {
  for (const std::uint64_t size : {1u, 300001u}) {
    Download download;
    DownloadToFile(Url(L"/_gen/" + std::to_wstring(size)), download.target, 0, L"Runner");
    EXPECT_TRUE(test::ReadBytes(download.target) == test::PatternBytes(size)) << size;
    const auto reports = download.sink.Drain();
    ASSERT_FALSE(reports.empty());
    for (const ProgressUpdate& report : reports) {
      EXPECT_EQ(report.permille, 1000) << size;
    }
    EXPECT_EQ(reports.back().detail, std::to_wstring(size / 1024) + L" KB");
  }
}

TEST_P(Transfers, ReplacesAnExistingFileFromTheStart) {
  Download download;
  test::WriteBytes(download.target, std::string(500000, 'x'));
  DownloadToFile(Url(L"/_gen/1000"), download.target, 1000, L"Runner");
  EXPECT_TRUE(test::ReadBytes(download.target) == test::PatternBytes(1000));
}

TEST_P(Transfers, ServerFailureCreatesNeitherFileNorDirectory) {
  struct Case {
    std::wstring path;
    const std::string& outcome;
  };
  const Case cases[] = {
      {L"/_fault/status=404/", HttpError},
      {L"/_fault/status=500/", HttpError},
      {L"/_fault/status=301/", HttpError},
      {L"/_fault/drop=1/", Unreachable},
  };
  for (const Case& c : cases) {
    Download download;
    EXPECT_EQ(test::FailureOf([&] {
                DownloadToFile(Url(c.path), download.target, 1000, L"Runner");
              }),
              c.outcome)
        << Narrow(c.path);
    EXPECT_FALSE(PathExists(download.dir / L"downloads")) << Narrow(c.path);
    EXPECT_TRUE(download.sink.Drain().empty()) << Narrow(c.path);
  }
  Download refused;
  const std::wstring toHttp = test::HttpsBase() + RedirectPath(302, test::HttpBase() + L"/_gen/10");
  EXPECT_EQ(test::FailureOf([&] { DownloadToFile(toHttp, refused.target, 10, L"Runner"); }),
            HttpError);
  EXPECT_FALSE(PathExists(refused.dir / L"downloads"));
}

TEST_P(Transfers, DetailCountsWholeKilobytes) {
  struct Case {
    std::uint64_t size;
    const wchar_t* detail;
  };
  const Case cases[] = {{1, L"0 KB"}, {1023, L"0 KB"}, {1024, L"1 KB"}, {2047, L"1 KB"},
                        {2048, L"2 KB"}};
  for (const Case& c : cases) {
    Download download;
    DownloadToFile(Url(L"/_gen/" + std::to_wstring(c.size)), download.target, c.size, L"Runner");
    const auto reports = download.sink.Drain();
    ASSERT_FALSE(reports.empty()) << c.size;
    EXPECT_EQ(reports.back().detail, c.detail) << c.size;
    EXPECT_EQ(reports.back().permille, 1000) << c.size;
  }
}

// Reads the number of whole kilobytes back out of a "<n> KB" detail.
std::uint64_t Kilobytes(const std::wstring& detail) {
  EXPECT_TRUE(detail.ends_with(L" KB")) << Narrow(detail);
  return std::stoull(detail);
}

TEST_P(Transfers, ReportsEveryPieceAgainstTheExpectedSize) {
  constexpr std::uint64_t size = 1048576 + 1000;
  Download download;
  DownloadToFile(Url(L"/_gen/" + std::to_wstring(size)), download.target, size, L"VORN Runner");
  const auto reports = download.sink.Drain();
  // A piece is at most one buffer, so at least this many pieces arrive.
  ASSERT_GE(reports.size(), (size + DownloadChunkSize - 1) / DownloadChunkSize);
  std::uint64_t previousKilobytes = 0;
  std::int32_t previousPermille = 0;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const ProgressUpdate& report = reports[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(report.title, L"VORN Runner");
    const std::uint64_t kilobytes = Kilobytes(report.detail);
    EXPECT_GE(kilobytes, previousKilobytes);
    EXPECT_GE(report.permille, previousPermille);
    // The bytes behind the detail, measured against the expected size.
    EXPECT_GE(report.permille, static_cast<std::int32_t>(kilobytes * 1024 * 1000 / size));
    EXPECT_LE(report.permille, static_cast<std::int32_t>((kilobytes * 1024 + 1023) * 1000 / size));
    // Only the last piece completes the download; nothing is reported after it.
    EXPECT_EQ(report.permille == 1000, i + 1 == reports.size());
    previousKilobytes = kilobytes;
    previousPermille = report.permille;
  }
  EXPECT_EQ(reports.back().detail, std::to_wstring(size / 1024) + L" KB");
}

TEST(DownloadToFile, ParentThatIsAFileCannotBecomeADirectory) {
  Download download;
  const fs::path blocker = download.dir / L"downloads";
  test::WriteBytes(blocker, "not a directory");
  const fs::path target = blocker / L"VORNRunner.zip";
  EXPECT_EQ(test::FailureOf([&] {
              DownloadToFile(test::HttpBase() + L"/_gen/10", target, 10, L"Runner");
            }),
            "Could not create a directory.");
  EXPECT_EQ(test::ReadBytes(blocker), "not a directory");
}

TEST(DownloadToFile, TargetThatIsADirectoryCannotBeCreated) {
  Download download;
  fs::create_directories(download.target);
  EXPECT_EQ(test::FailureOf([&] {
              DownloadToFile(test::HttpBase() + L"/_gen/10", download.target, 10, L"Runner");
            }),
            "Could not create a downloaded file.");
  // What was there before is not the download's to remove.
  EXPECT_TRUE(fs::is_directory(download.target));
}

TEST(DownloadToFile, InvalidUrlCreatesNothing) {
  Download download;
  EXPECT_EQ(test::FailureOf([&] {
              DownloadToFile(L"ftp://127.0.0.1/VORNRunner.zip", download.target, 10, L"Runner");
            }),
            "Invalid download URL.");
  EXPECT_FALSE(PathExists(download.dir / L"downloads"));
}

}  // namespace
