#pragma once

#include <windows.h>

// A moment `timeout` milliseconds from now, for a wait made of several steps
// that share one limit.
class Deadline {
 public:
  explicit Deadline(DWORD timeout) : end_(::GetTickCount64() + timeout) {}

  // Milliseconds left; 0 once the moment has passed.
  DWORD Remaining() const {
    const ULONGLONG now = ::GetTickCount64();
    return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
  }

 private:
  ULONGLONG end_;
};
