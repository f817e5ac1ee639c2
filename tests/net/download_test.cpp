#include "net/download.h"

#include <gtest/gtest.h>

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

// One report per piece of at most 128 KiB, in whole kilobytes, each within
// the announced size: an oversized body is given up at its first piece past
// it, so an endless one never fills the disk.
TEST(Transfers, OnlyTheAnnouncedSizeIsKept) {
  struct Case {
    const wchar_t* path;
    std::uint64_t expected;
    std::string outcome;
    const wchar_t* lastDetail = L"";
  };
  const Case cases[] = {
      {L"/_gen/1", 1, NoFailure, L"0 KB"},
      {L"/_gen/2047", 2047, NoFailure, L"1 KB"},
      {L"/_gen/2048", 2048, NoFailure, L"2 KB"},
      {L"/_gen/300001", 300001, NoFailure, L"292 KB"},
      {L"/_gen/1000", 1001, SizeMismatch},                       // one byte short
      {L"/_fault/extra=1/_gen/1000", 1000, SizeMismatch},        // one byte over
      {L"/_gen/262145", 262144, SizeMismatch},                   // over in a later piece
      {L"/_fault/truncate=200000/_gen/400000", 400000, SizeMismatch},  // dropped mid-body
      {L"/_fault/endless=1/", 1000, SizeMismatch},               // never ends
      {L"/_gen/300001", 0, NoFailure, L"292 KB"},                // any size accepted
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
    std::uint64_t previous = 0;
    for (const auto& step : download.sink.steps) {
      EXPECT_EQ(step.title, L"Runner");
      // Without an expected size each report is its own total: a full bar.
      EXPECT_EQ(step.total, c.expected != 0 ? c.expected : step.done);
      EXPECT_GT(step.done, previous);
      EXPECT_LE(step.done, step.total);
      EXPECT_LE(step.done - previous, 131072u);
      previous = step.done;
    }
    if (c.outcome == NoFailure) {
      const std::size_t size = std::stoul(std::wstring(c.path).substr(6));
      ASSERT_EQ(previous, size);
      EXPECT_EQ(download.sink.steps.back().detail, c.lastDetail);
      EXPECT_TRUE(test::ReadBytes(download.target) == test::PatternBytes(size));
    } else {
      EXPECT_FALSE(PathExists(download.target));
    }
  }
}

// The server answers before the target or its directory is made: an error
// creates nothing (the request's other failures are OpenHttpGet's tests).
TEST(Transfers, NothingIsCreatedBeforeTheServerAgrees) {
  Download download;
  EXPECT_EQ(test::FailureOf([&] {
              DownloadToFile(Url(L"/_fault/status=404/"), download.target, 10, L"Runner",
                             download.sink);
            }),
            HttpError);
  EXPECT_FALSE(PathExists(download.dir / L"downloads"));
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
