#include "process/process_tree.h"

#include <utility>

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

bool SetJobLimits(const KernelHandle& job, DWORD flags) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = flags;
  return ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof(limits)) != FALSE;
}

}  // namespace

ProcessTree StartProcessTreeSuspended(const std::wstring& commandLine,
                                      const wchar_t* currentDirectory) {
  KernelHandle job(::CreateJobObjectW(nullptr, nullptr));
  // While the job ends its processes on closing, a program still suspended
  // ends with the updater, should the updater itself be ended: left
  // suspended, it would hold the installation's files for good.
  if (job && !SetJobLimits(job, JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE)) {
    job.reset();
  }
  if (job) {
    ProcessHandles handles =
        StartChildProcessInJob(commandLine, CREATE_SUSPENDED, currentDirectory, job.get());
    if (handles.process) {
      return {std::move(handles), std::move(job)};
    }
  }
  // Where a process cannot be created in a job, it is put in one right after.
  ProcessTree tree{StartChildProcess(commandLine, CREATE_SUSPENDED, currentDirectory), {}};
  if (tree.handles.process && job &&
      ::AssignProcessToJobObject(job.get(), tree.handles.process.get())) {
    tree.job = std::move(job);
  }
  return tree;
}

ProcessTree ResumeProcessTree(ProcessTree tree) {
  ::ResumeThread(tree.handles.thread.get());
  if (tree.job && !SetJobLimits(tree.job, 0)) {
    // Closing the job ends the program, which could not outlive the updater.
    return {};
  }
  return tree;
}

ProcessTree StartProcessTree(const std::wstring& commandLine, const wchar_t* currentDirectory) {
  ProcessTree tree = StartProcessTreeSuspended(commandLine, currentDirectory);
  return tree.handles.process ? ResumeProcessTree(std::move(tree)) : ProcessTree{};
}

void ReleaseProcessTree(const ProcessTree& tree) {
  if (tree.job) {
    // Should this fail, the product only stays in a job without breakaway,
    // as it would have been without this.
    static_cast<void>(SetJobLimits(
        tree.job, JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK));
  }
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
