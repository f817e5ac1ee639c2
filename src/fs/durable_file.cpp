#include "fs/durable_file.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <limits>

namespace {

// From the driver kit's ntifs.h: write the file's data and metadata, but do
// not ask the device to empty its cache.
constexpr ULONG FlushFlagsNoSync = 0x00000002;

using NtFlushBuffersFileExFunction = LONG(NTAPI*)(HANDLE file, ULONG flags, PVOID parameters,
                                                  ULONG parametersSize, PIO_STATUS_BLOCK status);

// Windows 8 and later export it from ntdll; null elsewhere.
NtFlushBuffersFileExFunction FindNtFlushBuffersFileEx() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) {
    return nullptr;
  }
  // Through a function pointer without parameters, the one cast between
  // function pointer types that compilers accept without a warning.
  const auto found =
      reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtFlushBuffersFileEx"));
  return reinterpret_cast<NtFlushBuffersFileExFunction>(found);
}

}  // namespace

DurableFile::DurableFile(const std::filesystem::path& path)
    : file_(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {}

bool DurableFile::Write(const char* data, std::size_t size) {
  while (size > 0) {
    const auto piece =
        static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
    DWORD written = 0;
    if (!::WriteFile(file_.get(), data, piece, &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool DurableFile::FlushToDevice() {
  static const NtFlushBuffersFileExFunction flushEx = FindNtFlushBuffersFileEx();
  if (flushEx == nullptr) {
    return FlushToDisk();
  }
  // A file system that cannot flush this way (ReFS) still flushes in full.
  IO_STATUS_BLOCK status{};
  return flushEx(file_.get(), FlushFlagsNoSync, nullptr, 0, &status) >= 0 || FlushToDisk();
}

bool DurableFile::FlushToDisk() { return ::FlushFileBuffers(file_.get()) != FALSE; }
