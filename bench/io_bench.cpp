// Hashing and install copies of our code next to the platform's own limits,
// measured in the same process: a minimal ReadFile + BCryptHashData loop,
// CopyFileW and a minimal stream copy loop. Usage: io_bench [MiB] [work-dir]
#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>
#include <memory>

#include "app/progress.h"
#include "bench_support.h"
#include "crypto/sha256.h"
#include "fs/install.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD Chunk = 131072;

void MinimalHashLoop(const fs::path& path) {
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
  }
  UCHAR digest[32];
  ::BCryptFinishHash(hash, digest, sizeof(digest), 0);
  ::CloseHandle(file);
  ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
}

void MinimalStreamCopy(const fs::path& from, const fs::path& to) {
  std::ifstream input(from, std::ios::binary);
  std::ofstream output(to, std::ios::binary | std::ios::trunc);
  const auto buffer = std::make_unique<char[]>(Chunk);
  while (input.read(buffer.get(), Chunk) || input.gcount() > 0) {
    output.write(buffer.get(), input.gcount());
  }
}


}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "vorn-io-bench";
  const std::uint64_t bytes = mib << 20;
  fs::create_directories(dir);
  mainWindow = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
  const fs::path sample = dir / "sample.bin";
  bench::WriteSampleFile(sample, bytes);
  std::printf("io_bench: %llu MiB in %ls\n", static_cast<unsigned long long>(mib),
              dir.c_str());

  MinimalHashLoop(sample);  // warm the file cache so the order of runs does not matter
  const double hashLimit = bench::MiBPerSecond(bytes, bench::Seconds([&] { MinimalHashLoop(sample); }));
  bench::Report("hash: ReadFile+BCryptHashData", bytes, bytes / (hashLimit * 1048576.0));
  const double ours = bench::Seconds([&] { FileSha256Hex(sample, L"bench"); bench::DrainProgressMessages(); });
  bench::Report("hash: FileSha256Hex", bytes, ours, hashLimit);

  const double copyLimit = bench::MiBPerSecond(
      bytes, bench::Seconds([&] { ::CopyFileW(sample.c_str(), (dir / "copy1").c_str(), FALSE); }));
  bench::Report("copy: CopyFileW", bytes, bytes / (copyLimit * 1048576.0));
  const double streamLimit =
      bench::MiBPerSecond(bytes, bench::Seconds([&] { MinimalStreamCopy(sample, dir / "copy2"); }));
  bench::Report("copy: minimal stream loop", bytes, bytes / (streamLimit * 1048576.0), copyLimit);
  const double install = bench::Seconds([&] {
    InstallFile(sample, dir / "copy3", L"bench");
    bench::DrainProgressMessages();
  });
  bench::Report("copy: InstallFile", bytes, install, copyLimit);

  fs::remove_all(dir);
  return 0;
}
