#include "process/child_process.h"

#include <vector>

#include "update/scoped_handle.h"

std::wstring QuoteForCommandLine(const std::wstring& text) { return L"\"" + text + L"\""; }

PROCESS_INFORMATION StartChildProcess(const std::wstring& commandLine, DWORD creationFlags,
                                      const wchar_t* currentDirectory) {
  // CreateProcessW may write into the command line it is given.
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                        currentDirectory, &startup, &info)) {
    return PROCESS_INFORMATION{};
  }
  return info;
}

bool RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                       DWORD timeout) {
  const PROCESS_INFORMATION info = StartChildProcess(
      QuoteForCommandLine(program) + L" " + arguments, CREATE_NO_WINDOW, nullptr);
  if (info.hProcess == nullptr) {
    return false;
  }
  // Destroyed in reverse order: the thread handle is closed before the process.
  const KernelHandle process(info.hProcess);
  const KernelHandle thread(info.hThread);

  if (::WaitForSingleObject(process.get(), timeout) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 1);
    return false;
  }
  DWORD exitCode = 1;
  ::GetExitCodeProcess(process.get(), &exitCode);
  return exitCode == 0;
}
