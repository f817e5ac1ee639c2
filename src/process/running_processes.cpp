#include "process/running_processes.h"

#include <windows.h>
#include <tlhelp32.h>

#include <utility>

// A failed snapshot is INVALID_HANDLE_VALUE, as a failed CreateFileW is.
using SnapshotHandle = FileHandle;

namespace {

// 0 when it cannot be read.
ULONGLONG CreationTime(HANDLE process) {
  FILETIME created{};
  FILETIME ended{};
  FILETIME kernel{};
  FILETIME user{};
  if (!::GetProcessTimes(process, &created, &ended, &kernel, &user)) {
    return 0;
  }
  return (ULONGLONG{created.dwHighDateTime} << 32U) | created.dwLowDateTime;
}

}  // namespace

KernelHandle OpenProcessToWaitFor(std::uint32_t processId) {
  if (processId == 0) {
    return {};
  }
  KernelHandle process(
      ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) {
    return KernelHandle(::OpenProcess(SYNCHRONIZE, FALSE, processId));
  }
  // The launcher started this updater, so it is the older of the two. A
  // younger process got the id after the launcher had ended.
  if (CreationTime(process.get()) > CreationTime(::GetCurrentProcess())) {
    return {};
  }
  return process;
}

bool HasEnded(const KernelHandle& process) {
  return process && ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

std::vector<KernelHandle> OpenProcessesRunning(
    const std::function<bool(const std::wstring& image)>& runsFrom) {
  std::vector<KernelHandle> running;
  const SnapshotHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  if (!snapshot || !::Process32FirstW(snapshot.get(), &entry)) {
    return running;
  }
  const DWORD self = ::GetCurrentProcessId();
  std::wstring image;
  do {
    if (entry.th32ProcessID == self || entry.th32ProcessID == 0) {
      continue;
    }
    KernelHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                       entry.th32ProcessID));
    image.assign(32768, L'\0');
    auto length = static_cast<DWORD>(image.size());
    if (process && ::QueryFullProcessImageNameW(process.get(), 0, image.data(), &length)) {
      image.resize(length);
      if (runsFrom(image)) {
        running.push_back(std::move(process));
      }
    }
  } while (::Process32NextW(snapshot.get(), &entry));
  return running;
}
