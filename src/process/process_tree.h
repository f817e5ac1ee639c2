#pragma once

#include <windows.h>

#include <string>

#include "common/scoped_handle.h"

// A started program and the job that holds it and everything it starts, so
// that all of them can be ended together.
struct ProcessTree {
  ProcessHandles handles;
  KernelHandle job;  // empty when the platform gave no job or refused the program one
};

// Starts `commandLine` in `currentDirectory` inside a job of its own, so that
// nothing it starts can slip out. Closing the job does not end its processes:
// a program that is left running outlives the updater. Without a job the
// program still runs. Empty when nothing was started.
ProcessTree StartProcessTree(const std::wstring& commandLine, const wchar_t* currentDirectory);

// The two halves of StartProcessTree. Until it is resumed, the program is
// suspended in a job that ends it when the job is closed, as it is when the
// updater itself is ended.
ProcessTree StartProcessTreeSuspended(const std::wstring& commandLine,
                                      const wchar_t* currentDirectory);
ProcessTree ResumeProcessTree(ProcessTree tree);

// For a program that has proven itself: what it starts from now on is created
// outside the job, and may ask to be (`CREATE_BREAKAWAY_FROM_JOB`), so the
// job's rules bind nothing it does later. The processes already in it stay,
// with no limit.
void ReleaseProcessTree(const ProcessTree& tree);

// Terminates every process of the tree (the program alone when it has no job)
// and waits up to `timeout` milliseconds for all of them to be gone.
void EndProcessTree(const ProcessTree& tree, DWORD timeout);
