#include "app/progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A message-only window standing in for the progress window: it takes back
// the posted payloads as the real window would.
class MessageWindow {
 public:
  MessageWindow()
      : window_(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr)) {}
  ~MessageWindow() {
    Drain();
    ::DestroyWindow(window_);
  }
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;
  HWND get() const { return window_; }

  struct Posted {
    std::vector<ProgressUpdate> progress;
    std::vector<std::pair<bool, std::unique_ptr<std::wstring>>> finished;
  };
  Posted Drain() const {
    Posted posted;
    MSG message;
    while (::PeekMessageW(&message, window_, WM_UPDATE_PROGRESS, WM_UPDATE_FINISHED, PM_REMOVE)) {
      if (message.message == WM_UPDATE_PROGRESS) {
        posted.progress.push_back(*TakeProgressUpdate(message.lParam));
      } else {
        posted.finished.emplace_back(message.wParam != 0, TakeFailureMessage(message.lParam));
      }
    }
    return posted;
  }

 private:
  HWND window_;
};

int postsToRefuse = 0;
BOOL WINAPI RefuseThenPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (postsToRefuse > 0) {
    --postsToRefuse;
    return FALSE;
  }
  return ::PostMessageW(window, message, wParam, lParam);
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

TEST(Progress, WindowSinkPostsEveryReportAndOneOutcome) {
  const MessageWindow window;
  WindowProgressSink sink(window.get());
  std::wstring title = L"Downloading launcher update";
  sink.Progress(title, L"2 KB", 2048, 4096);
  title = L"changed after posting";
  sink.Failed("Invalid update manifest. \xC3\xA9");
  sink.Failed(std::nullopt);
  ASSERT_EQ(UpdaterExitCode.load(), 1);
  sink.Succeeded();
  EXPECT_EQ(UpdaterExitCode.load(), 0);
  UpdaterExitCode = 1;

  const MessageWindow::Posted posted = window.Drain();
  ASSERT_EQ(posted.progress.size(), 1u);
  EXPECT_EQ(posted.progress[0].title, L"Downloading launcher update");
  EXPECT_EQ(posted.progress[0].detail, L"2 KB");
  EXPECT_EQ(posted.progress[0].permille, 500);
  ASSERT_EQ(posted.finished.size(), 3u);
  EXPECT_FALSE(posted.finished[0].first);
  EXPECT_EQ(*posted.finished[0].second, L"Invalid update manifest. \u00E9");
  EXPECT_FALSE(posted.finished[1].second);
  EXPECT_TRUE(posted.finished[2].first);
  EXPECT_FALSE(posted.finished[2].second);
}

// Windows refuses posts once a queue is full; Wine never does, so the
// refusal comes from a stand-in for PostMessageW.
TEST(Progress, RefusedReportsDropProgressButRepeatTheOutcome) {
  const MessageWindow window;
  WindowProgressSink sink(window.get(), &RefuseThenPost, std::chrono::milliseconds(1));
  postsToRefuse = 1;
  sink.Progress(L"t", L"d", 1, 2);
  postsToRefuse = 3;
  sink.Failed("It failed.");
  EXPECT_EQ(postsToRefuse, 0);
  const MessageWindow::Posted posted = window.Drain();
  EXPECT_TRUE(posted.progress.empty());
  ASSERT_EQ(posted.finished.size(), 1u);
  EXPECT_EQ(*posted.finished[0].second, L"It failed.");

  // The outcome is given up once the window is gone.
  HWND gone = nullptr;
  {
    const MessageWindow closed;
    gone = closed.get();
  }
  postsToRefuse = 1000;
  WindowProgressSink(gone, &RefuseThenPost, std::chrono::milliseconds(1)).Failed("lost");
  EXPECT_EQ(postsToRefuse, 999);
  postsToRefuse = 0;
}

}  // namespace
