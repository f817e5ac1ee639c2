#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "common/deadline.h"

// True when the path names any existing file-system object. Errors count as
// absence.
bool PathExists(const std::filesystem::path& path);

// Creates the directory and every missing parent. Only the outcome for the
// whole path decides. Throws `UpdateError` "Could not create a directory.".
void EnsureDirectory(const std::filesystem::path& path);

// Deletes one file if it can; every error is ignored.
void RemoveFileQuietly(const std::filesystem::path& path);

// Removes a file or a whole directory tree as far as possible; every error is
// ignored. Read-only entries are made writable so that what the updater
// installed can always be removed again. A junction or symbolic link, at the
// top or anywhere below, is removed itself: what it points to is never
// touched.
void RemoveTreeQuietly(const std::filesystem::path& path);

// Makes a read-only file writable: on Windows a rename cannot replace a
// read-only file. Returns the attributes it had, or none when it was not
// read-only. Throws the standard file-system error when the attribute cannot
// be cleared.
std::optional<DWORD> ClearReadOnly(const std::filesystem::path& file);

// Sets again the attributes that `ClearReadOnly` returned, if any; every
// error is ignored.
void RestoreReadOnly(const std::filesystem::path& file, std::optional<DWORD> attributes);

// One rename that replaces an existing destination file and may copy across
// volumes. Throws the standard file-system error for `rename`.
void MovePath(const std::filesystem::path& from, const std::filesystem::path& to);

// The same, tried again while the platform refuses it as held, with growing
// pauses, for as long as `allowance` lasts: security software and the search
// indexer hold freshly written files for a moment. A sharing violation is a
// hold, and so is access denied unless the destination refuses replacement
// by itself (a read-only file, a directory), which no wait would change.
// `onHeld`, when given, is called once, before the first pause.
void MovePathPatiently(const std::filesystem::path& from, const std::filesystem::path& to,
                       WaitAllowance& allowance, const std::function<void()>& onHeld = {});
