#include "process/running_processes.h"

#include <windows.h>
#include <tlhelp32.h>

#include <utility>

// A failed snapshot is INVALID_HANDLE_VALUE, as a failed CreateFileW is.
using SnapshotHandle = FileHandle;

KernelHandle OpenProcessToWaitFor(std::uint32_t processId) {
  if (processId == 0) {
    return {};
  }
  return KernelHandle(::OpenProcess(SYNCHRONIZE, FALSE, processId));
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
