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

// Starts `commandLine` in `currentDirectory` inside a job of its own: created
// suspended, put into the job, then resumed, so that nothing it starts can
// slip out. Closing the job does not end its processes: a program that is
// left running outlives the updater. Without a job the program still runs.
// Empty when nothing was started.
ProcessTree StartProcessTree(const std::wstring& commandLine, const wchar_t* currentDirectory);

// Terminates every process of the tree (the program alone when it has no job)
// and waits up to `timeout` milliseconds for all of them to be gone.
void EndProcessTree(const ProcessTree& tree, DWORD timeout);
