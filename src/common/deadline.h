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

// A limit on the time spent waiting, shared by waits that have other work
// between them: only the waits themselves use it up.
class WaitAllowance {
 public:
  explicit WaitAllowance(DWORD limit) : left_(limit) {}

  // One wait, from its construction to its end. It may use whatever the
  // allowance has left, and what it used is gone for the waits after it.
  class Wait {
   public:
    explicit Wait(WaitAllowance& allowance)
        : allowance_(allowance), start_(::GetTickCount64()), deadline_(allowance.left_) {}
    ~Wait() {
      const ULONGLONG spent = ::GetTickCount64() - start_;
      DWORD& left = allowance_.left_;
      left = spent >= left ? 0 : left - static_cast<DWORD>(spent);
    }
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;

    DWORD Remaining() const { return deadline_.Remaining(); }

   private:
    WaitAllowance& allowance_;
    ULONGLONG start_;
    Deadline deadline_;
  };

 private:
  DWORD left_;
};
