#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/progress_sink.h"

// Manifests are small; the cap keeps a misbehaving server from making the
// updater hold an arbitrary amount of memory.
inline constexpr std::size_t ManifestReadChunk = 16384;
inline constexpr std::size_t ManifestSizeLimit = 131072;

// The whole body of a successful GET, at most `ManifestSizeLimit` bytes.
// Throws `UpdateError`, also for an empty body.
std::string FetchManifestText(const std::wstring& url);

// Downloads `url` into `target`, replacing any existing file, and reports
// progress under `title` after every piece. `expectedSize` 0 accepts any
// size; otherwise the size must match exactly and the transfer stops as soon
// as it is exceeded. Nothing is created before the server has answered with
// success, and on any failure no file is left at `target`. Throws
// `UpdateError`.
void DownloadToFile(const std::wstring& url, const std::filesystem::path& target,
                    std::uint64_t expectedSize, std::wstring_view title, ProgressSink& progress);
