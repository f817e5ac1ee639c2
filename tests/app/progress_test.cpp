#include "app/progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// What the window would have received: the posts a stand-in for PostMessageW
// accepted, payloads taken back as the window takes them. It refuses the
// first `refusals` posts, as a full queue makes Windows do (Wine never
// refuses).
struct Received {
  std::vector<ProgressUpdate> progress;
  std::vector<std::pair<bool, std::unique_ptr<std::wstring>>> finished;
};
Received received;
int refusals = 0;

BOOL WINAPI Receive(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (refusals > 0) {
    --refusals;
    return FALSE;
  }
  if (message == WM_UPDATE_PROGRESS) {
    received.progress.push_back(*TakeProgressUpdate(lParam));
  } else {
    received.finished.emplace_back(wParam != 0, TakeFailureMessage(lParam));
  }
  return TRUE;
}

TEST(Progress, PermilleAndPercentText) {
  struct Case {
    std::uint64_t done;
    std::uint64_t total;
    std::int32_t permille;
    const wchar_t* percent;
  };
  const Case cases[] = {
      {5, 0, 0, L"0.0%"},          {1, 90, 11, L"1.1%"},      {45, 90, 500, L"50.0%"},
      {91, 90, 1000, L"100.0%"},   {1, 200, 5, L"0.5%"},      {131072, 300000, 436, L"43.6%"},
      {1ull << 40, 1ull << 41, 500, L"50.0%"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressPermille(c.done, c.total), c.permille) << c.done << "/" << c.total;
    EXPECT_EQ(PercentText(c.permille), c.percent);
  }
}

TEST(Progress, WindowSinkPostsReportsAndOutcomes) {
  received = {};
  // Any existing window will do: the sink only asks whether it is still
  // there, and the stand-in poster receives in its place.
  WindowProgressSink sink(::GetDesktopWindow(), &Receive, std::chrono::milliseconds(1));
  std::wstring title = L"Downloading launcher update";
  sink.Progress(title, L"2 KB", 2048, 4096);
  title = L"changed after posting";
  refusals = 1;  // a refused progress report is dropped
  sink.Progress(title, L"3 KB", 3072, 4096);
  refusals = 3;  // the outcome is offered again until it is taken
  sink.Failed("Invalid update manifest. \xC3\xA9");
  sink.Failed(std::nullopt);
  ASSERT_EQ(UpdaterExitCode.load(), 1);
  sink.Succeeded();
  EXPECT_EQ(UpdaterExitCode.load(), 0);
  UpdaterExitCode = 1;

  ASSERT_EQ(received.progress.size(), 1u);
  EXPECT_EQ(received.progress[0].title, L"Downloading launcher update");
  EXPECT_EQ(received.progress[0].detail, L"2 KB");
  EXPECT_EQ(received.progress[0].permille, 500);
  ASSERT_EQ(received.finished.size(), 3u);
  EXPECT_FALSE(received.finished[0].first);
  EXPECT_EQ(*received.finished[0].second, L"Invalid update manifest. \u00E9");
  EXPECT_FALSE(received.finished[1].second);
  EXPECT_TRUE(received.finished[2].first);
  EXPECT_FALSE(received.finished[2].second);
}

TEST(Progress, AnOutcomeIsGivenUpOnlyWhenTheWindowIsGone) {
  refusals = 1000;
  WindowProgressSink(nullptr, &Receive, std::chrono::milliseconds(1)).Failed("lost");
  EXPECT_EQ(refusals, 999);
  refusals = 0;
}

}  // namespace
