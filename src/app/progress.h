#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/progress_sink.h"

// The worker never touches a window: it posts these two messages to
// the progress window, handing over a heap payload that the window thread
// frees.
inline constexpr UINT WM_UPDATE_PROGRESS = WM_APP + 1;  // lParam: ProgressUpdate*
inline constexpr UINT WM_UPDATE_FINISHED = WM_APP + 2;  // wParam: 1 success; lParam: std::wstring* or 0

struct ProgressUpdate {
  std::wstring title;
  std::wstring detail;
  std::int32_t permille = 0;
};

// The process exit code: 1 until a run succeeds. Written by the worker just
// before its success report and read by the window thread after the loop.
extern std::atomic<int> UpdaterExitCode;

// How often the final report is offered again while the queue refuses it.
inline constexpr std::chrono::milliseconds FinishedRetryInterval{10};

// `PostMessageW` or a test's stand-in for it.
using MessagePoster = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);

// done * 1000 / total in unsigned 64-bit arithmetic, capped at 1000; 0 when
// total is 0.
std::int32_t ProgressPermille(std::uint64_t done, std::uint64_t total);

// "12.3%": the per-mille value with exactly one decimal.
std::wstring PercentText(std::int32_t permille);

// Posts one progress update. A refused post frees its payload.
void PostProgressTo(HWND window, MessagePoster post, std::wstring_view title,
                    std::wstring_view detail, std::uint64_t done, std::uint64_t total);

// Posts the run's outcome; `message` is null on success and for a failure
// without a text. The outcome must not be lost, so a refused post is repeated
// every `retryInterval` for as long as the window exists.
void PostFinishedTo(HWND window, MessagePoster post, bool success,
                    std::unique_ptr<std::wstring> message, std::chrono::milliseconds retryInterval);

// The worker's reports as messages to the progress window. Success sets
// `UpdaterExitCode` to 0 just before it is posted.
class WindowProgressSink final : public ProgressSink {
 public:
  explicit WindowProgressSink(HWND window, MessagePoster post = &::PostMessageW,
                              std::chrono::milliseconds retryInterval = FinishedRetryInterval);

  void Progress(std::wstring_view title, std::wstring_view detail, std::uint64_t done,
                std::uint64_t total) override;
  void Succeeded() override;
  void Failed(std::optional<std::string_view> utf8Message) override;

 private:
  HWND window_;
  MessagePoster post_;
  std::chrono::milliseconds retryInterval_;
};

// The receiving side takes ownership of the payloads back.
std::unique_ptr<ProgressUpdate> TakeProgressUpdate(LPARAM lParam);
std::unique_ptr<std::wstring> TakeFailureMessage(LPARAM lParam);
