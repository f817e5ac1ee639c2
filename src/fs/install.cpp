#include "fs/install.h"

#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

#include "common/chunk_size.h"
#include "common/update_error.h"
#include "fs/file_ops.h"
#include "fs/paths.h"
#include "fs/tree_walk.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void FailInstall() { throw UpdateError("Could not install a file."); }

struct CopyStreams {
  std::ifstream input;
  std::ofstream output;
};

// Opens the source for reading and the destination for writing (created or
// truncated); either failing to open fails the install.
CopyStreams OpenCopyStreams(const fs::path& source, const fs::path& destination) {
  CopyStreams streams{std::ifstream(source, std::ios::binary),
                      std::ofstream(destination, std::ios::binary | std::ios::trunc)};
  if (!streams.input.is_open() || !streams.output.is_open()) {
    FailInstall();
  }
  return streams;
}

using ChunkBuffer = std::unique_ptr<char[]>;

ChunkBuffer NewChunkBuffer() { return std::make_unique<char[]>(ChunkSize); }

// Streams the whole input into the output in `ChunkSize` pieces
// through `buffer`, calling `reportChunk(bytes)` after each piece written. A
// failed read or write fails the copy: a silently short file must never be
// installed.
template <typename ReportChunk>
void StreamCopy(CopyStreams& streams, const ChunkBuffer& buffer, ReportChunk reportChunk) {
  while (streams.input.good()) {
    streams.input.read(buffer.get(), static_cast<std::streamsize>(ChunkSize));
    const std::streamsize count = streams.input.gcount();
    if (count == 0) {
      break;
    }
    streams.output.write(buffer.get(), count);
    if (!streams.output.good()) {
      FailInstall();
    }
    reportChunk(static_cast<std::uint64_t>(count));
  }
  if (streams.input.bad()) {
    FailInstall();
  }
  // The stream holds back small pieces until it is flushed: a full disk may
  // show only here.
  streams.output.close();
  if (streams.output.fail()) {
    FailInstall();
  }
}

}  // namespace

void InstallFile(const fs::path& source, const fs::path& destination, std::wstring_view title,
                 ProgressSink& progress) {
  EnsureDirectory(destination.parent_path());
  CopyStreams streams = OpenCopyStreams(source, destination);
  const std::uint64_t total = fs::file_size(source);
  const std::wstring detail = destination.filename().native();
  std::uint64_t done = 0;
  StreamCopy(streams, NewChunkBuffer(), [&](std::uint64_t count) {
    done += count;
    progress.Progress(title, detail, done, total);
  });
}

void InstallRunnerTree(const fs::path& stagedDir, const fs::path& installedDir,
                       ProgressSink& progress) {
  RemoveTreeQuietly(installedDir);
  EnsureDirectory(installedDir);

  // The staged tree is listed once for both passes. A link in it is never
  // entered: a directory link becomes an empty directory, a file link is
  // copied by content.
  const std::vector<TreeEntry> entries = ListTree(stagedDir);
  std::uint64_t total = 0;
  for (const TreeEntry& entry : entries) {
    if (!entry.IsDirectory()) {
      total += entry.size;
    }
  }
  const std::uint64_t progressTotal = total == 0 ? 1 : total;

  // Per-file work that cannot change within one walk is done once: the
  // buffer is shared by all files, and each directory is ensured once (the
  // listing holds a directory before its contents).
  const ChunkBuffer buffer = NewChunkBuffer();
  fs::path ensuredDir = installedDir;
  std::uint64_t done = 0;
  for (const TreeEntry& entry : entries) {
    const fs::path target = installedDir / entry.relative;
    if (entry.IsDirectory()) {
      EnsureDirectory(target);
      ensuredDir = target;
      continue;
    }
    if (target.parent_path() != ensuredDir) {
      EnsureDirectory(target.parent_path());
      ensuredDir = target.parent_path();
    }
    const std::wstring& detail = entry.relative.native();
    CopyStreams streams = OpenCopyStreams(entry.path, target);
    StreamCopy(streams, buffer, [&](std::uint64_t count) {
      done += count;
      progress.Progress(L"Installing runner", detail, done, progressTotal);
    });
  }

  if (!PathExists(installedDir / RunnerExeName)) {
    throw UpdateError("The installed runner is missing run.exe.");
  }
}
