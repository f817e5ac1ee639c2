#pragma once

#include <windows.h>

#include <string>

// The longest a system tool may run before it is ended.
inline constexpr DWORD ChildProcessTimeout = 300000;

// The text between two double quotes, unchanged. Callers pass file-system
// paths, which cannot contain double quotes.
std::wstring QuoteForCommandLine(const std::wstring& text);

// Starts `commandLine` with this process's environment, in `currentDirectory`
// (null: this process's). Returns the platform's process record, all zero
// when nothing was started; the caller owns its handles.
PROCESS_INFORMATION StartChildProcess(const std::wstring& commandLine, DWORD creationFlags,
                                      const wchar_t* currentDirectory);

// Runs `program` (a full path) with the already formatted `arguments`, without
// a window and with this process's environment and current directory. True
// only when it ended within `timeout` milliseconds with exit code 0; a child
// still running then is terminated.
bool RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                       DWORD timeout = ChildProcessTimeout);
