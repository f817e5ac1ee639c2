#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/scoped_handle.h"

// The process with this id, opened only to wait for it. Empty for 0, for an
// id that names no process this user can open, and for a process created
// after this one, which cannot be the launcher that started it.
KernelHandle OpenProcessToWaitFor(std::uint32_t processId);

// True when the process has ended; false for an empty handle.
bool HasEnded(const KernelHandle& process);

// Every other running process whose executable, by its full path, `runsFrom`
// accepts, opened to wait for it. Processes that cannot be opened or asked
// for their executable are left out.
std::vector<KernelHandle> OpenProcessesRunning(
    const std::function<bool(const std::wstring& image)>& runsFrom);
