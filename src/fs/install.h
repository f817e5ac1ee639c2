#pragma once

#include <filesystem>
#include <string_view>

#include "common/progress_sink.h"

// Copies `source` to `destination`, creating its directory, with one progress
// report per chunk (detail: the destination's file name). The copy is on the
// disk when it returns. Throws
// `UpdateError` "Could not install a file." or "Could not create a
// directory.", or the standard file-system error for `file_size`.
void InstallFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                 std::wstring_view title, ProgressSink& progress);

// Replaces `installedDir` with a copy of the staged runner tree, reporting
// progress once over the whole tree, and requires run.exe at its top. Every
// file of the copy is on the disk when it returns. Throws
// `UpdateError` "Could not install a file.", "Could not create a
// directory." or "The installed runner is missing run.exe.", or standard
// file-system errors of the directory walk.
void InstallRunnerTree(const std::filesystem::path& stagedDir,
                       const std::filesystem::path& installedDir, ProgressSink& progress);

// Makes `keep` a second name of `file` (a hard link), so that the file stays
// when its first name is replaced; where the file system has no hard links,
// a copy that is on the disk when it returns. Throws `UpdateError` "Could not
// install a file." when neither can be made.
void KeepAsSecondName(const std::filesystem::path& file, const std::filesystem::path& keep);
