#pragma once

// Shared pieces of the benchmark programs. Each measurement is printed as a
// line "RESULT <key> <bytes> <seconds>" for scripts/bench to aggregate.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/progress.h"

namespace bench {

template <typename Work>
double Seconds(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline void Emit(const char* key, std::uint64_t bytes, double seconds) {
  std::printf("RESULT %s %llu %.6f\n", key, static_cast<unsigned long long>(bytes), seconds);
  std::fflush(stdout);
}

// Fills `block` with pseudo-random bytes (incompressible, like real payloads).
inline void FillRandom(std::vector<char>& block, std::uint32_t seed) {
  std::uint32_t state = seed | 1u;
  for (char& c : block) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
}

inline void WriteSampleFile(const std::filesystem::path& path, std::uint64_t bytes,
                            std::uint32_t seed = 2463534242u) {
  std::ofstream output(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  FillRandom(block, seed);
  for (std::uint64_t written = 0; written < bytes; written += block.size()) {
    output.write(block.data(), static_cast<std::streamsize>(
                                   std::min<std::uint64_t>(block.size(), bytes - written)));
  }
}

// What the design's one message per piece costs on its own: a post without
// a payload, which the window thread below takes and drops.
inline constexpr UINT WM_BENCH_PIECE = WM_APP + 3;
inline void NoPost() {}

// Stands in for the progress window's thread: owns a window that the sink
// posts to, takes every posted payload back as the window would, and
// measures how long each message waited in the queue.
class WindowThread {
 public:
  WindowThread() {
    std::atomic<HWND> created{nullptr};
    thread_ = std::thread([this, &created] {
      HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      nullptr, nullptr);
      threadId_ = ::GetCurrentThreadId();
      created = window;
      MSG message;
      while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_UPDATE_PROGRESS) {
          TakeProgressUpdate(message.lParam);
          ++handled_;
          // The tick count may not have advanced past the post's own stamp.
          const auto waited = static_cast<LONG>(::GetTickCount() - message.time);
          longestWaitMs_ = std::max<DWORD>(longestWaitMs_, waited > 0 ? static_cast<DWORD>(waited) : 0);
        } else if (message.message == WM_UPDATE_FINISHED) {
          TakeFailureMessage(message.lParam);
          ++finished_;
        }
      }
      ::DestroyWindow(window);
    });
    while (created.load() == nullptr) {
      std::this_thread::yield();
    }
    window_ = created.load();
    sink_ = std::make_unique<WindowProgressSink>(window_);
  }
  ~WindowThread() {
    ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }
  WindowThread(const WindowThread&) = delete;
  WindowThread& operator=(const WindowThread&) = delete;

  ProgressSink& sink() const { return *sink_; }
  void PostBarePiece() const { ::PostMessageW(window_, WM_BENCH_PIECE, 0, 0); }
  std::uint64_t handled() const { return handled_; }
  std::uint64_t finished() const { return finished_; }
  DWORD longestWaitMs() const { return longestWaitMs_; }

 private:
  std::thread thread_;
  HWND window_ = nullptr;
  std::unique_ptr<WindowProgressSink> sink_;
  std::atomic<DWORD> threadId_{0};
  std::atomic<std::uint64_t> handled_{0};
  std::atomic<std::uint64_t> finished_{0};
  std::atomic<DWORD> longestWaitMs_{0};
};

}  // namespace bench
