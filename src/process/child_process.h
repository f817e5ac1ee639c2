#pragma once

#include <windows.h>

#include <string>

#include "common/scoped_handle.h"

// The longest a system tool may run before it is ended.
inline constexpr DWORD ChildProcessTimeout = 300000;

// The text between two double quotes, unchanged. Callers pass file-system
// paths, which cannot contain double quotes.
std::wstring QuoteForCommandLine(const std::wstring& text);

// Starts `commandLine` with this process's environment, in `currentDirectory`
// (null: this process's). The handles are empty when nothing was started.
ProcessHandles StartChildProcess(const std::wstring& commandLine, DWORD creationFlags,
                                 const wchar_t* currentDirectory);

// The same, the process created inside `job`, so that it belongs to the job
// from its first instant. Empty also where the platform cannot do that
// (before Windows 10).
ProcessHandles StartChildProcessInJob(const std::wstring& commandLine, DWORD creationFlags,
                                      const wchar_t* currentDirectory, HANDLE job);

// Runs `program` (a full path) with the already formatted `arguments`, without
// a window, with this process's environment, in `currentDirectory` (null:
// this process's). True only when it ended within `timeout` milliseconds with
// exit code 0; a child still running then is terminated.
bool RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                       DWORD timeout = ChildProcessTimeout,
                       const wchar_t* currentDirectory = nullptr);
