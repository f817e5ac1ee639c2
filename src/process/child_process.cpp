#include "process/child_process.h"

#include <vector>

std::wstring QuoteForCommandLine(const std::wstring& text) { return L"\"" + text + L"\""; }

ProcessHandles StartChildProcess(const std::wstring& commandLine, DWORD creationFlags,
                                 const wchar_t* currentDirectory) {
  // CreateProcessW may write into the command line it is given.
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                        currentDirectory, &startup, &info)) {
    return {};
  }
  return ProcessHandles(info);
}

bool RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                       DWORD timeout) {
  const ProcessHandles child = StartChildProcess(
      QuoteForCommandLine(program) + L" " + arguments, CREATE_NO_WINDOW, nullptr);
  if (!child.process) {
    return false;
  }
  if (::WaitForSingleObject(child.process.get(), timeout) != WAIT_OBJECT_0) {
    ::TerminateProcess(child.process.get(), 1);
    return false;
  }
  DWORD exitCode = 1;
  ::GetExitCodeProcess(child.process.get(), &exitCode);
  return exitCode == 0;
}
