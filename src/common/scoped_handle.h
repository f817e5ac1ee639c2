#pragma once

#include <windows.h>

#include <utility>

// Move-only owner of one platform handle. `Traits` names the handle type, the
// value that means "nothing held" and how to release a held handle, so each
// kind of handle gets its own type and the two "invalid" conventions of the
// platform (null and INVALID_HANDLE_VALUE) cannot be mixed up.
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() noexcept = default;
  explicit ScopedHandle(Handle handle) noexcept : handle_(handle) {}
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }

  [[nodiscard]] Handle get() const noexcept { return handle_; }
  [[nodiscard]] bool valid() const noexcept { return handle_ != Traits::Empty(); }
  explicit operator bool() const noexcept { return valid(); }

  Handle release() noexcept { return std::exchange(handle_, Traits::Empty()); }

  // For a platform call that writes a new handle into an output parameter:
  // whatever was held is closed first.
  Handle* put() noexcept {
    reset();
    return &handle_;
  }

  void reset(Handle handle = Traits::Empty()) noexcept {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::Empty()) {
      Traits::Close(old);
    }
  }

 private:
  Handle handle_ = Traits::Empty();
};

// Process and thread handles: null means empty.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};
using KernelHandle = ScopedHandle<KernelHandleTraits>;

// File handles: CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};
using FileHandle = ScopedHandle<FileHandleTraits>;

// Both handles of a started process, as `CreateProcessW` fills them in.
// Empty when nothing was started.
struct ProcessHandles {
  ProcessHandles() noexcept = default;
  explicit ProcessHandles(const PROCESS_INFORMATION& started) noexcept
      : process(started.hProcess), thread(started.hThread) {}

  // Members are destroyed in reverse order: the thread handle is closed first.
  KernelHandle process;
  KernelHandle thread;
};
