#include "net/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fs/file_ops.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string NoFailure = "no failure";
const std::string HttpError = "The update server returned an HTTP error.";
const std::string SizeMismatch = "The downloaded file size does not match the release manifest.";

std::string Text(const std::wstring& ascii) { return {ascii.begin(), ascii.end()}; }

// Plain http: the program-level runs fetch every payload over https.
std::wstring Url(const std::wstring& path) { return test::HttpBase() + path; }

TEST(Transfers, ManifestSizeLimitAndFailures) {
  struct Case {
    const wchar_t* path;
    std::string outcome;
  };
  const Case cases[] = {
      {L"/_gen/16385", NoFailure},
      {L"/_gen/131072", NoFailure},
      {L"/_gen/131073", "Update manifest is too large."},
      {L"/_fault/endless=1/", "Update manifest is too large."},
      {L"/_fault/status=204/", "Update manifest is empty."},
      {L"/_fault/truncate=0/_gen/100", "Update manifest is empty."},
      {L"/_fault/status=404/", HttpError},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(test::FailureOf([&] { text = FetchManifestText(Url(c.path)); }), c.outcome)
        << Text(c.path);
    if (c.outcome == NoFailure) {
      EXPECT_EQ(text, test::PatternBytes(std::stoul(std::wstring(c.path).substr(6))));
    }
  }
}

// A target inside a directory that does not exist yet.
struct Download {
  test::TempDir dir{L"net"};
  fs::path target = dir / L"downloads\\runner\\VORNRunner.zip";
  test::RecordingSink sink;
};

TEST(Transfers, OnlyTheAnnouncedSizeIsKept) {
  struct Case {
    const wchar_t* path;
    std::uint64_t expected;
    std::string outcome;
  };
  const Case cases[] = {
      {L"/_gen/300001", 300001, NoFailure},
      {L"/_gen/1000", 1001, SizeMismatch},                       // one byte short
      {L"/_fault/extra=1/_gen/1000", 1000, SizeMismatch},        // one byte over
      {L"/_gen/262145", 262144, SizeMismatch},                   // over in a later piece
      {L"/_fault/truncate=200000/_gen/400000", 400000, SizeMismatch},  // dropped mid-body
      {L"/_fault/endless=1/", 1000, SizeMismatch},               // never ends
      {L"/_gen/300001", 0, NoFailure},                           // any size accepted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.path));
    Download download;
    // A file already at the target is replaced from the start, or goes.
    test::WriteBytes(download.target, std::string(500000, 'x'));
    EXPECT_EQ(test::FailureOf([&] {
                DownloadToFile(Url(c.path), download.target, c.expected, L"Runner", download.sink);
              }),
              c.outcome);
    // An oversized body is given up at its first piece past the size: an
    // endless one must never fill the disk.
    EXPECT_TRUE(std::none_of(download.sink.steps.begin(), download.sink.steps.end(),
                             [](const auto& step) { return step.done > step.total; }));
    if (c.outcome == NoFailure) {
      EXPECT_TRUE(test::ReadBytes(download.target) == test::PatternBytes(300001));
    } else {
      EXPECT_FALSE(PathExists(download.target));
    }
  }
}

TEST(Transfers, OneReportPerPieceInWholeKilobytes) {
  for (const std::uint64_t size : {1u, 2047u, 2048u, 300001u}) {
    Download download;
    DownloadToFile(Url(L"/_gen/" + std::to_wstring(size)), download.target, size, L"Runner",
                   download.sink);
    ASSERT_FALSE(download.sink.steps.empty());
    std::uint64_t previous = 0;
    for (const auto& step : download.sink.steps) {
      EXPECT_EQ(step.title, L"Runner");
      EXPECT_EQ(step.detail, std::to_wstring(step.done / 1024) + L" KB");
      EXPECT_EQ(step.total, size);
      EXPECT_GT(step.done, previous);
      EXPECT_LE(step.done - previous, 131072u);
      previous = step.done;
    }
    EXPECT_EQ(previous, size);
  }
  // Without an expected size each report is its own total: a full bar.
  Download any;
  DownloadToFile(Url(L"/_gen/300001"), any.target, 0, L"Runner", any.sink);
  for (const auto& step : any.sink.steps) {
    EXPECT_EQ(step.done, step.total);
  }
}

TEST(Transfers, NothingIsCreatedBeforeTheServerAgrees) {
  const std::wstring toPlainHttp = L"/_fault/redirect=302,to=" +
                                   std::wstring(L"http%3A%2F%2F127.0.0.1%3A1%2F") + L"/";
  struct Case {
    std::wstring url;
    std::string outcome;
  };
  const Case cases[] = {
      {Url(L"/_fault/status=404/"), HttpError},
      {Url(L"/_fault/drop=1/"), "The update server could not be reached."},
      {test::HttpsBase() + toPlainHttp, HttpError},
      {L"ftp://127.0.0.1/VORNRunner.zip", "Invalid download URL."},
  };
  for (const Case& c : cases) {
    Download download;
    EXPECT_EQ(test::FailureOf([&] {
                DownloadToFile(c.url, download.target, 10, L"Runner", download.sink);
              }),
              c.outcome)
        << Text(c.url);
    EXPECT_FALSE(PathExists(download.dir / L"downloads")) << Text(c.url);
  }
}

TEST(Transfers, TargetThatCannotBeCreated) {
  Download download;
  fs::create_directories(download.target);
  EXPECT_EQ(test::FailureOf([&] {
              DownloadToFile(test::HttpBase() + L"/_gen/10", download.target, 10, L"Runner",
                             download.sink);
            }),
            "Could not create a downloaded file.");
  // What was there before is not the download's to remove.
  EXPECT_TRUE(fs::is_directory(download.target));
}

}  // namespace
