#pragma once

#include <filesystem>
#include <string_view>

#include "common/progress_sink.h"

// Copies `source` to `destination`, creating its directory, with one progress
// report per chunk (detail: the destination's file name). Throws
// `UpdateError` "Could not install a file." or "Could not create a
// directory.", or the standard file-system error for `file_size`.
void InstallFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                 std::wstring_view title, ProgressSink& progress);

// Replaces `installedDir` with a copy of the staged runner tree, reporting
// progress once over the whole tree, and requires run.exe at its top. Throws
// `UpdateError` "Could not install a file.", "Could not create a
// directory." or "The installed runner is missing run.exe.", or standard
// file-system errors of the directory walk.
void InstallRunnerTree(const std::filesystem::path& stagedDir,
                       const std::filesystem::path& installedDir, ProgressSink& progress);
