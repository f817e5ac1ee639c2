#include "process/child_process.h"

#include <vector>

std::wstring QuoteForCommandLine(const std::wstring& text) { return L"\"" + text + L"\""; }

namespace {

// The attribute list that creates a process inside a job, released with it.
class JobAttributeList {
 public:
  explicit JobAttributeList(HANDLE job) : job_(job) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      return;
    }
    list_ = list;
    // Refused before Windows 10, which cannot create a process in a job.
    ready_ = ::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_,
                                         sizeof(job_), nullptr, nullptr) != FALSE;
  }
  JobAttributeList(const JobAttributeList&) = delete;
  JobAttributeList& operator=(const JobAttributeList&) = delete;
  ~JobAttributeList() {
    if (list_ != nullptr) {
      ::DeleteProcThreadAttributeList(list_);
    }
  }

  [[nodiscard]] LPPROC_THREAD_ATTRIBUTE_LIST get() const { return ready_ ? list_ : nullptr; }

 private:
  HANDLE job_;  // read by CreateProcessW through the list: must outlive it
  std::vector<unsigned char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  bool ready_ = false;
};

ProcessHandles CreateChild(const std::wstring& commandLine, DWORD creationFlags,
                           const wchar_t* currentDirectory, STARTUPINFOW& startup) {
  // CreateProcessW may write into the command line it is given.
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                        currentDirectory, &startup, &info)) {
    return {};
  }
  return ProcessHandles(info);
}

}  // namespace

ProcessHandles StartChildProcess(const std::wstring& commandLine, DWORD creationFlags,
                                 const wchar_t* currentDirectory) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  return CreateChild(commandLine, creationFlags, currentDirectory, startup);
}

ProcessHandles StartChildProcessInJob(const std::wstring& commandLine, DWORD creationFlags,
                                      const wchar_t* currentDirectory, HANDLE job) {
  const JobAttributeList attributes(job);
  if (attributes.get() == nullptr) {
    return {};
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.lpAttributeList = attributes.get();
  return CreateChild(commandLine, creationFlags | EXTENDED_STARTUPINFO_PRESENT, currentDirectory,
                     startup.StartupInfo);
}

bool RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                       DWORD timeout, const wchar_t* currentDirectory) {
  const ProcessHandles child = StartChildProcess(QuoteForCommandLine(program) + L" " + arguments,
                                                 CREATE_NO_WINDOW, currentDirectory);
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
