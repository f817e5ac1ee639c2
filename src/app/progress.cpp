#include "app/progress.h"

#include <thread>

#include "common/text_conversion.h"

std::atomic<int> UpdaterExitCode{1};

std::int32_t ProgressPermille(std::uint64_t done, std::uint64_t total) {
  if (total == 0) {
    return 0;
  }
  const std::uint64_t permille = done * 1000 / total;
  return permille > 1000 ? 1000 : static_cast<std::int32_t>(permille);
}

std::wstring PercentText(std::int32_t permille) {
  return std::to_wstring(permille / 10) + L"." + std::to_wstring(permille % 10) + L"%";
}

void PostProgressTo(HWND window, MessagePoster post, std::wstring_view title,
                    std::wstring_view detail, std::uint64_t done, std::uint64_t total) {
  auto update = std::make_unique<ProgressUpdate>(
      ProgressUpdate{std::wstring(title), std::wstring(detail), ProgressPermille(done, total)});
  if (post(window, WM_UPDATE_PROGRESS, 0, reinterpret_cast<LPARAM>(update.get()))) {
    update.release();  // NOLINT(bugprone-unused-return-value): the message owns it now
  }
}

void PostFinishedTo(HWND window, MessagePoster post, bool success,
                    std::unique_ptr<std::wstring> message, std::chrono::milliseconds retryInterval) {
  const WPARAM wParam = success ? 1 : 0;
  while (!post(window, WM_UPDATE_FINISHED, wParam, reinterpret_cast<LPARAM>(message.get()))) {
    if (!::IsWindow(window)) {
      return;
    }
    std::this_thread::sleep_for(retryInterval);
  }
  message.release();  // NOLINT(bugprone-unused-return-value): the message owns it now
}

WindowProgressSink::WindowProgressSink(HWND window, MessagePoster post,
                                       std::chrono::milliseconds retryInterval)
    : window_(window), post_(post), retryInterval_(retryInterval) {}

void WindowProgressSink::Progress(std::wstring_view title, std::wstring_view detail,
                                  std::uint64_t done, std::uint64_t total) {
  PostProgressTo(window_, post_, title, detail, done, total);
}

void WindowProgressSink::Succeeded() {
  UpdaterExitCode = 0;
  PostFinishedTo(window_, post_, true, nullptr, retryInterval_);
}

void WindowProgressSink::Failed(std::optional<std::string_view> utf8Message) {
  PostFinishedTo(window_, post_, false,
                 utf8Message ? std::make_unique<std::wstring>(Utf8ToWide(*utf8Message)) : nullptr,
                 retryInterval_);
}

std::unique_ptr<ProgressUpdate> TakeProgressUpdate(LPARAM lParam) {
  return std::unique_ptr<ProgressUpdate>(reinterpret_cast<ProgressUpdate*>(lParam));
}

std::unique_ptr<std::wstring> TakeFailureMessage(LPARAM lParam) {
  return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}
