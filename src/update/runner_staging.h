#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/progress_sink.h"
#include "process/child_process.h"

// The system directory, which holds tar.exe and Windows PowerShell; none when
// it cannot be read.
std::optional<std::filesystem::path> SystemDirectory();

// `text` as the inside of a PowerShell single-quoted string: every quote
// character that PowerShell ends such a string with is doubled.
std::wstring EscapeForPowerShellSingleQuotes(const std::wstring& text);

// Extracts the staged runner archive into `runnerDir` with the system's
// tar.exe, or Windows PowerShell when tar is missing or fails, and requires
// run.exe at the top of the result. Throws `UpdateError`.
// `systemDir` is where the tools live; none when it cannot be read.
void ExtractRunnerArchive(const std::filesystem::path& archive,
                          const std::filesystem::path& runnerDir,
                          const std::optional<std::filesystem::path>& systemDir,
                          DWORD toolTimeout, ProgressSink& progress);
