#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/progress.h"

namespace bench {

// Seconds taken by `work`.
template <typename Work>
double Seconds(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double MiBPerSecond(std::uint64_t bytes, double seconds) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

inline void Report(const char* name, std::uint64_t bytes, double seconds, double limit = 0) {
  const double rate = MiBPerSecond(bytes, seconds);
  if (limit > 0) {
    std::printf("%-34s %9.1f MiB/s  %5.2f x limit\n", name, rate, rate / limit);
  } else {
    std::printf("%-34s %9.1f MiB/s  (limit)\n", name, rate);
  }
  std::fflush(stdout);
}

// A file of `bytes` pseudo-random bytes.
inline void WriteSampleFile(const std::filesystem::path& path, std::uint64_t bytes) {
  std::ofstream output(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  std::uint32_t state = 2463534242u;
  for (char& c : block) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
  for (std::uint64_t written = 0; written < bytes; written += block.size()) {
    output.write(block.data(), static_cast<std::streamsize>(
                                   std::min<std::uint64_t>(block.size(), bytes - written)));
  }
}

// Takes the progress messages our code posted to `mainWindow`, as the window
// thread would.
inline void DrainProgressMessages() {
  MSG message;
  while (::PeekMessageW(&message, mainWindow, WM_UPDATE_PROGRESS, WM_UPDATE_PROGRESS, PM_REMOVE)) {
    TakeProgressUpdate(message.lParam);
  }
}

}  // namespace bench
