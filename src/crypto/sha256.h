#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/progress_sink.h"

// The SHA-256 of a file as 64 lower-case hex digits, with one progress report
// per 128 KiB read (detail: the file's name). Throws `UpdateError`.
std::wstring FileSha256Hex(const std::filesystem::path& path, std::wstring_view title,
                          ProgressSink& progress);

// Whole-text comparison of two digests, ignoring the case of ASCII letters
// only.
bool DigestTextsEqual(std::wstring_view a, std::wstring_view b);

// Throws `UpdateError` unless the file's SHA-256 equals `expected`.
void VerifyFileSha256(const std::filesystem::path& path, std::wstring_view expected,
                      std::wstring_view title, ProgressSink& progress);
