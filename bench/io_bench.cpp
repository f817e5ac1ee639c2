// Hashing and install copies of our code next to the platform's own limits,
// measured in the same process and alternated run by run: a minimal ReadFile
// + BCryptHashData loop, with ours also once with its reports dropped;
// CopyFileW and a minimal stream copy loop, each with FlushFileBuffers per
// file as our copies flush every file, and without it for reference; the
// minimal loops also once more with a bare message posted per piece, which is
// the platform's limit for the design's one report per piece. Then the
// durable copy of a runner of many small files: ours next to a minimal
// per-file loop through handles without any flush and with FlushFileBuffers
// per file.
// Usage: io_bench MiB WORK_DIR RUNS (the caller leaves out the first round,
// which warms the caches).
#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "bench_support.h"
#include "common/chunk_size.h"
#include "crypto/sha256.h"
#include "fs/file_ops.h"
#include "fs/install.h"
#include "fs/tree_walk.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD Chunk = static_cast<DWORD>(ChunkSize);
constexpr int TreeFiles = 2000;

// A runner of many small files, where a flush per file costs the most next
// to the copying, plus a few large ones: a fixed shape, whatever the payload.
constexpr int SmallFiles = 2000;
constexpr std::uint64_t SmallFileBytes = 16 << 10;
constexpr int LargeFiles = 3;
constexpr std::uint64_t LargeFileBytes = 8 << 20;

// Drops every report: our code between the platform's calls, without them.
class DroppingSink final : public ProgressSink {
 public:
  void Progress(std::wstring_view, std::wstring_view, std::uint64_t, std::uint64_t) override {}
  void Succeeded() override {}
  void Failed(std::optional<std::string_view>) override {}
};

template <typename PerPiece = void (*)()>
void MinimalHashLoop(const fs::path& path, PerPiece perPiece = bench::NoPost) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  std::vector<UCHAR> buffer(Chunk);
  DWORD read = 0;
  while (::ReadFile(file, buffer.data(), Chunk, &read, nullptr) && read > 0) {
    ::BCryptHashData(hash, buffer.data(), read, 0);
    perPiece();
  }
  UCHAR digest[32];
  ::BCryptFinishHash(hash, digest, sizeof(digest), 0);
  ::CloseHandle(file);
  ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
}

void NoFlush(HANDLE) {}
void FlushEach(HANDLE file) { ::FlushFileBuffers(file); }

// The copy of one file with InstallFile's platform calls: a stream reads,
// WriteFile writes, and `flush` gets the written handle before it is closed.
template <typename PerPiece = void (*)()>
void MinimalStreamCopy(const fs::path& from, const fs::path& to, void (*flush)(HANDLE),
                       PerPiece perPiece = bench::NoPost) {
  std::ifstream input(from, std::ios::binary);
  const HANDLE output = ::CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const auto buffer = std::make_unique<char[]>(Chunk);
  DWORD written = 0;
  while (input.read(buffer.get(), Chunk) || input.gcount() > 0) {
    ::WriteFile(output, buffer.get(), static_cast<DWORD>(input.gcount()), &written, nullptr);
    perPiece();
  }
  flush(output);
  ::CloseHandle(output);
}

std::string Numbered(const char* prefix, int number, const char* suffix = "") {
  std::string name(prefix);
  name += std::to_string(number);
  name += suffix;
  return name;
}

// A runner-like tree: `TreeFiles` files of varying size in nested folders,
// `bytes` in all, with run.exe at the top.
void WriteTree(const fs::path& root, std::uint64_t bytes) {
  std::vector<char> block(1 << 20);
  bench::FillRandom(block, 7);
  std::uint64_t left = bytes;
  for (int i = 0; i < TreeFiles; ++i) {
    const std::uint64_t share = left / static_cast<std::uint64_t>(TreeFiles - i);
    const std::uint64_t size = i % 2 == 0 ? share / 2 : std::min(left, share * 3 / 2);
    const fs::path file = i == 0 ? root / "run.exe"
                                 : root / Numbered("d", i % 20) / Numbered("s", i % 7) /
                                       Numbered("f", i, ".bin");
    fs::create_directories(file.parent_path());
    std::ofstream output(file, std::ios::binary | std::ios::trunc);
    for (std::uint64_t written = 0; written < size; written += block.size()) {
      output.write(block.data(), static_cast<std::streamsize>(
                                     std::min<std::uint64_t>(block.size(), size - written)));
    }
    left -= size;
  }
}

// The small-file runner, run.exe among its large files; returns its bytes.
std::uint64_t WriteSmallFileTree(const fs::path& root) {
  fs::create_directories(root);
  for (int i = 0; i < LargeFiles; ++i) {
    bench::WriteSampleFile(root / (i == 0 ? std::string("run.exe") : Numbered("lib", i, ".dll")),
                           LargeFileBytes, 11u + static_cast<std::uint32_t>(i));
  }
  std::vector<char> block(SmallFileBytes);
  for (int i = 0; i < SmallFiles; ++i) {
    // Each file its own bytes, so that no layer below can share pages.
    bench::FillRandom(block, 101u + static_cast<std::uint32_t>(i));
    const fs::path file = root / Numbered("d", i % 20) / Numbered("f", i, ".dat");
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return LargeFiles * LargeFileBytes + SmallFiles * SmallFileBytes;
}

// The minimal durable copy of one file: ReadFile and WriteFile through
// handles, then `flush` on the written handle before it is closed.
void HandleCopy(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                void (*flush)(HANDLE)) {
  const HANDLE input = ::CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const HANDLE output = ::CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD read = 0;
  DWORD written = 0;
  while (::ReadFile(input, buffer.data(), Chunk, &read, nullptr) && read > 0) {
    ::WriteFile(output, buffer.data(), read, &written, nullptr);
  }
  flush(output);
  ::CloseHandle(output);
  ::CloseHandle(input);
}

template <typename CopyOne>
void CopyTree(const fs::path& from, const fs::path& to, CopyOne copyOne) {
  fs::create_directories(to);
  for (const TreeEntry& entry : ListTree(from)) {
    const fs::path target = to / entry.relative;
    if (entry.IsDirectory()) {
      fs::create_directories(target);
    } else {
      copyOne(entry.path, target);
    }
  }
}

void CopyWithCopyFile(const fs::path& from, const fs::path& to) {
  ::CopyFileW(from.c_str(), to.c_str(), FALSE);
}

// CopyFileW hands out no handle: the copy is opened again to be flushed.
void CopyWithCopyFileFlushed(const fs::path& from, const fs::path& to) {
  CopyWithCopyFile(from, to);
  const HANDLE copy = ::CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ::FlushFileBuffers(copy);
  ::CloseHandle(copy);
}

struct Way {
  const char* key;
  std::function<void(const fs::path& target)> work;  // a copy writes `target`
};

// Times each way, each taking every place in turn over the rounds: what one
// leaves behind (posts the window thread has yet to take, pages the disk has
// yet to write) falls on each of the others in turn. Each copy goes as soon
// as its clock stops, before its pages are written back: ext4 (under Wine
// here) has a flush wait for the data placed since the last one, so an
// unflushed copy's writing back would hold up the next flushed one, and
// truncating a file still being written back would wait for the disk.
void RunWays(int run, const std::vector<Way>& ways, std::uint64_t bytes, const fs::path& dir) {
  for (std::size_t step = 0; step < ways.size(); ++step) {
    const Way& way = ways[(static_cast<std::size_t>(run) + step) % ways.size()];
    const fs::path target = dir / way.key;
    bench::Emit(way.key, bytes, bench::Seconds([&] { way.work(target); }));
    RemoveTreeQuietly(target);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::printf("usage: io_bench MiB WORK_DIR RUNS\n");
    return 2;
  }
  const std::uint64_t bytes = std::strtoull(argv[1], nullptr, 10) << 20;
  const fs::path dir = argv[2];
  const int runs = std::atoi(argv[3]);
  fs::create_directories(dir);
  const fs::path sample = dir / "sample.bin";
  const fs::path tree = dir / "tree";
  const fs::path smallTree = dir / "small";
  bench::WriteSampleFile(sample, bytes);
  WriteTree(tree, bytes);
  const std::uint64_t smallBytes = WriteSmallFileTree(smallTree);
  std::printf("DURABLE small=%dx%llu large=%dx%llu\n", SmallFiles,
              static_cast<unsigned long long>(SmallFileBytes), LargeFiles,
              static_cast<unsigned long long>(LargeFileBytes));

  bench::WindowThread window;
  DroppingSink dropping;
  // What the progress reports alone cost: as many as one 128 KiB copy posts.
  const std::uint64_t messages = bytes / ChunkSize;
  for (int run = 0; run < runs; ++run) {
    bench::Emit("progress.messages", messages, bench::Seconds([&] {
                  for (std::uint64_t i = 1; i <= messages; ++i) {
                    window.sink().Progress(L"Installing launcher", L"VORNLauncher.exe", i, messages);
                  }
                }));
    bench::Emit("progress.bare", messages, bench::Seconds([&] {
                  for (std::uint64_t i = 1; i <= messages; ++i) {
                    window.PostBarePiece();
                  }
                }));
    const auto post = [&] { window.PostBarePiece(); };
    RunWays(run,
            {{"hash.minimal", [&](const fs::path&) { MinimalHashLoop(sample); }},
             {"hash.posting", [&](const fs::path&) { MinimalHashLoop(sample, post); }},
             {"hash.ours",
              [&](const fs::path&) { FileSha256Hex(sample, L"bench", window.sink()); }},
             {"hash.unreported",
              [&](const fs::path&) { FileSha256Hex(sample, L"bench", dropping); }}},
            bytes, dir);

    RunWays(run,
            {{"copy.copyfile", [&](const fs::path& to) { CopyWithCopyFile(sample, to); }},
             {"copy.copyfile.flushed",
              [&](const fs::path& to) { CopyWithCopyFileFlushed(sample, to); }},
             {"copy.stream", [&](const fs::path& to) { MinimalStreamCopy(sample, to, NoFlush); }},
             {"copy.stream.flushed",
              [&](const fs::path& to) { MinimalStreamCopy(sample, to, FlushEach); }},
             {"copy.posting.flushed",
              [&](const fs::path& to) { MinimalStreamCopy(sample, to, FlushEach, post); }},
             {"copy.ours",
              [&](const fs::path& to) { InstallFile(sample, to, L"bench", window.sink()); }}},
            bytes, dir);

    const auto streamCopy = [](void (*flush)(HANDLE)) {
      return [flush](const fs::path& from, const fs::path& to) {
        MinimalStreamCopy(from, to, flush);
      };
    };
    RunWays(run,
            {{"tree.copyfile", [&](const fs::path& to) { CopyTree(tree, to, CopyWithCopyFile); }},
             {"tree.copyfile.flushed",
              [&](const fs::path& to) { CopyTree(tree, to, CopyWithCopyFileFlushed); }},
             {"tree.stream", [&](const fs::path& to) { CopyTree(tree, to, streamCopy(NoFlush)); }},
             {"tree.stream.flushed",
              [&](const fs::path& to) { CopyTree(tree, to, streamCopy(FlushEach)); }},
             {"tree.ours",
              [&](const fs::path& to) { InstallRunnerTree(tree, to, window.sink()); }}},
            bytes, dir);

    const auto handleCopy = [&](void (*flush)(HANDLE)) {
      return [&smallTree, flush](const fs::path& to) {
        std::vector<char> buffer(Chunk);
        CopyTree(smallTree, to, [&](const fs::path& from, const fs::path& file) {
          HandleCopy(from, file, buffer, flush);
        });
      };
    };
    RunWays(run,
            {{"durable.unflushed", handleCopy(NoFlush)},
             {"durable.flushed", handleCopy(FlushEach)},
             {"durable.ours",
              [&](const fs::path& to) { InstallRunnerTree(smallTree, to, window.sink()); }}},
            smallBytes, dir);
  }
  RemoveTreeQuietly(dir);
  std::printf("WINDOW handled=%llu longestWaitMs=%lu\n",
              static_cast<unsigned long long>(window.handled()), window.longestWaitMs());
  return 0;
}
