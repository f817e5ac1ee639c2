#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Where the worker's reports go. Every operation that reports progress takes
// one from its caller; the progress window implements it, tests record it.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;

  // One step of the run: two lines of text, and `done` of `total` in whatever
  // unit the step counts (bytes, checks); a total of 0 shows no progress.
  virtual void Progress(std::wstring_view title, std::wstring_view detail, std::uint64_t done,
                        std::uint64_t total) = 0;

  // The run's one outcome, its last report. A failure carries its message as
  // UTF-8, or nothing when it came without one.
  virtual void Succeeded() = 0;
  virtual void Failed(std::optional<std::string_view> utf8Message) = 0;

 protected:
  ProgressSink() = default;
  ProgressSink(const ProgressSink&) = default;
  ProgressSink& operator=(const ProgressSink&) = default;
};
