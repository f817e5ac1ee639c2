#include "process/process_tree.h"

#include "common/deadline.h"
#include "process/child_process.h"

namespace {

DWORD ActiveProcesses(const KernelHandle& job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
  if (!::QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation, &info,
                                   sizeof(info), nullptr)) {
    return 0;
  }
  return info.ActiveProcesses;
}

}  // namespace

ProcessTree StartProcessTree(const std::wstring& commandLine, const wchar_t* currentDirectory) {
  ProcessTree tree;
  tree.handles = StartChildProcess(commandLine, CREATE_SUSPENDED, currentDirectory);
  if (!tree.handles.process) {
    return tree;
  }
  tree.job.reset(::CreateJobObjectW(nullptr, nullptr));
  if (tree.job && !::AssignProcessToJobObject(tree.job.get(), tree.handles.process.get())) {
    tree.job.reset();
  }
  ::ResumeThread(tree.handles.thread.get());
  return tree;
}

void EndProcessTree(const ProcessTree& tree, DWORD timeout) {
  if (!tree.handles.process) {
    return;
  }
  const Deadline deadline(timeout);
  if (tree.job) {
    ::TerminateJobObject(tree.job.get(), 1);
    while (ActiveProcesses(tree.job) > 0 && deadline.Remaining() > 0) {
      ::Sleep(20);
    }
  } else {
    ::TerminateProcess(tree.handles.process.get(), 1);
  }
  ::WaitForSingleObject(tree.handles.process.get(), deadline.Remaining());
}
