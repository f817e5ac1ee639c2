#include "fs/install.h"

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

#include "common/chunk_size.h"
#include "common/update_error.h"
#include "fs/durable_file.h"
#include "fs/file_ops.h"
#include "fs/paths.h"
#include "fs/tree_walk.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void FailInstall() { throw UpdateError("Could not install a file."); }

struct CopyStreams {
  std::ifstream input;
  DurableFile output;
};

// Opens the source for reading and the destination for writing (created or
// truncated); either failing to open fails the install.
CopyStreams OpenCopyStreams(const fs::path& source, const fs::path& destination) {
  CopyStreams streams{std::ifstream(source, std::ios::binary), DurableFile(destination)};
  if (!streams.input.is_open() || !streams.output.IsOpen()) {
    FailInstall();
  }
  return streams;
}

using ChunkBuffer = std::unique_ptr<char[]>;

ChunkBuffer NewChunkBuffer() { return std::make_unique<char[]>(ChunkSize); }

// How far a copied file is pushed towards the disk before it is closed.
enum class Flush { ToDevice, ToDisk };

// Streams the whole input into the output in `ChunkSize` pieces through
// `buffer`, calling `reportChunk(bytes)` after each piece written, then
// flushes the output as `flush` says. A failed read, write or flush fails the
// copy: a silently short file must never be installed.
template <typename ReportChunk>
void StreamCopy(CopyStreams& streams, const ChunkBuffer& buffer, Flush flush,
                ReportChunk reportChunk) {
  while (streams.input.good()) {
    streams.input.read(buffer.get(), static_cast<std::streamsize>(ChunkSize));
    const std::streamsize count = streams.input.gcount();
    if (count == 0) {
      break;
    }
    if (!streams.output.Write(buffer.get(), static_cast<std::size_t>(count))) {
      FailInstall();
    }
    reportChunk(static_cast<std::uint64_t>(count));
  }
  const bool flushed =
      flush == Flush::ToDisk ? streams.output.FlushToDisk() : streams.output.FlushToDevice();
  if (streams.input.bad() || !flushed) {
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
  StreamCopy(streams, NewChunkBuffer(), Flush::ToDisk, [&](std::uint64_t count) {
    done += count;
    progress.Progress(title, detail, done, total);
  });
}

void KeepAsSecondName(const fs::path& file, const fs::path& keep) {
  if (::CreateHardLinkW(keep.c_str(), file.c_str(), nullptr)) {
    return;
  }
  CopyStreams streams = OpenCopyStreams(file, keep);
  StreamCopy(streams, NewChunkBuffer(), Flush::ToDisk, [](std::uint64_t) {});
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
  const TreeEntry* lastFile = nullptr;
  for (const TreeEntry& entry : entries) {
    if (!entry.IsDirectory()) {
      total += entry.size;
      lastFile = &entry;
    }
  }
  const std::uint64_t progressTotal = total == 0 ? 1 : total;

  // Each file is handed to the disk as it is copied; the last one also has
  // the disk empty its cache, so that the whole tree is durable on return.
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
    const Flush flush = &entry == lastFile ? Flush::ToDisk : Flush::ToDevice;
    StreamCopy(streams, buffer, flush, [&](std::uint64_t count) {
      done += count;
      progress.Progress(L"Installing runner", detail, done, progressTotal);
    });
  }

  if (!PathExists(installedDir / RunnerExeName)) {
    throw UpdateError("The installed runner is missing run.exe.");
  }
}
