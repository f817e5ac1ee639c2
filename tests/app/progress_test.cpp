#include "app/progress.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"

namespace {

TEST(Progress, PermilleRule) {
  struct Case {
    std::uint64_t done;
    std::uint64_t total;
    std::int32_t permille;
    const wchar_t* percent;
  };
  const Case cases[] = {
      {0, 0, 0, L"0.0%"},
      {5, 0, 0, L"0.0%"},
      {1, 90, 11, L"1.1%"},
      {45, 90, 500, L"50.0%"},
      {90, 90, 1000, L"100.0%"},
      {91, 90, 1000, L"100.0%"},
      {123, 1000, 123, L"12.3%"},
      {1, 200, 5, L"0.5%"},
      {131072, 300000, 436, L"43.6%"},
      {1ull << 40, 1ull << 41, 500, L"50.0%"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressPermille(c.done, c.total), c.permille) << c.done << "/" << c.total;
    EXPECT_EQ(PercentText(c.permille), c.percent);
  }
}

TEST(Progress, PostedUpdateCarriesCopiesOfTheTexts) {
  test::MessageSink sink;
  std::wstring title = L"Downloading launcher update";
  PostProgressTo(sink.window(), &::PostMessageW, title, L"2 KB", 2048, 4096);
  title = L"changed after posting";
  const auto updates = sink.Drain();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].title, L"Downloading launcher update");
  EXPECT_EQ(updates[0].detail, L"2 KB");
  EXPECT_EQ(updates[0].permille, 500);
}

TEST(Progress, PostProgressUsesTheMainWindow) {
  test::MessageSink sink;
  PostProgress(L"a", L"b", 1, 1);
  PostProgress(L"c", L"d", 0, 1);
  const auto updates = sink.Drain();
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[0].permille, 1000);
  EXPECT_EQ(updates[1].title, L"c");
}

int refusedPosts = 0;
BOOL WINAPI RefusePost(HWND, UINT, WPARAM, LPARAM) {
  ++refusedPosts;
  return FALSE;
}

int postsToRefuse = 0;
BOOL WINAPI RefuseThenPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (postsToRefuse > 0) {
    --postsToRefuse;
    return FALSE;
  }
  return ::PostMessageW(window, message, wParam, lParam);
}

TEST(Progress, RefusedProgressPostIsDropped) {
  test::MessageSink sink;
  refusedPosts = 0;
  PostProgressTo(sink.window(), &RefusePost, L"t", L"d", 1, 2);
  EXPECT_EQ(refusedPosts, 1);
  EXPECT_TRUE(sink.Drain().empty());
}

TEST(Progress, FinalReportIsRepeatedUntilAccepted) {
  test::MessageSink sink;
  postsToRefuse = 3;
  PostFinishedTo(sink.window(), &RefuseThenPost, false,
                 std::make_unique<std::wstring>(L"It failed."), std::chrono::milliseconds(1));
  EXPECT_EQ(postsToRefuse, 0);
  sink.Drain();
  ASSERT_EQ(sink.finished.size(), 1u);
  EXPECT_EQ(sink.finished[0].success, false);
  ASSERT_TRUE(sink.finished[0].message);
  EXPECT_EQ(*sink.finished[0].message, L"It failed.");
}

TEST(Progress, FinalReportGivesUpWhenTheWindowIsGone) {
  HWND gone = nullptr;
  {
    test::MessageSink sink;
    gone = sink.window();
  }
  refusedPosts = 0;
  PostFinishedTo(gone, &RefusePost, false, std::make_unique<std::wstring>(L"lost"),
                 std::chrono::milliseconds(1));
  EXPECT_EQ(refusedPosts, 1);
}

TEST(Progress, SuccessAndFailureReports) {
  test::MessageSink sink;
  ASSERT_EQ(UpdaterExitCode.load(), 1);
  ReportFailure("Invalid update manifest. \xC3\xA9");
  EXPECT_EQ(UpdaterExitCode.load(), 1);
  ReportUnknownFailure();
  ReportSuccess();
  EXPECT_EQ(UpdaterExitCode.load(), 0);
  UpdaterExitCode = 1;
  sink.Drain();
  ASSERT_EQ(sink.finished.size(), 3u);
  EXPECT_EQ(sink.finished[0].success, false);
  EXPECT_EQ(*sink.finished[0].message, L"Invalid update manifest. \u00E9");
  EXPECT_EQ(sink.finished[1].success, false);
  EXPECT_FALSE(sink.finished[1].message);
  EXPECT_EQ(sink.finished[2].success, true);
  EXPECT_FALSE(sink.finished[2].message);
}

}  // namespace
