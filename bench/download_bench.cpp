// DownloadToFile next to a minimal WinHTTP read loop with the same 128 KiB
// buffer, against the same URL in the same process, alternated run by run;
// the minimal loop also once more with a bare message posted per piece.
// Usage: download_bench URL EXPECTED_SIZE WORK_DIR RUNS (the caller leaves out
// the first round, which warms the caches and the server).
#include <windows.h>
#include <winhttp.h>

#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "common/chunk_size.h"
#include "net/download.h"
#include "net/http_get.h"

namespace fs = std::filesystem;

namespace {

template <typename PerPiece = void (*)()>
void MinimalReadLoop(const std::wstring& url, const fs::path& target,
                     PerPiece perPiece = bench::NoPost) {
  WinHttpHandle session;
  WinHttpHandle connection;
  const WinHttpHandle request = OpenHttpGet(url, session, connection);
  const HANDLE file = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  std::vector<char> buffer(ChunkSize);
  DWORD read = 0;
  while (::WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read) && read > 0) {
    DWORD written = 0;
    ::WriteFile(file, buffer.data(), read, &written, nullptr);
    perPiece();
  }
  ::CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    std::printf("usage: download_bench URL EXPECTED_SIZE WORK_DIR RUNS\n");
    return 2;
  }
  const std::wstring url = argv[1];
  const std::uint64_t bytes = std::wcstoull(argv[2], nullptr, 10);
  const fs::path dir = argv[3];
  const int runs = _wtoi(argv[4]);
  fs::create_directories(dir);

  bench::WindowThread window;
  for (int run = 0; run < runs; ++run) {
    // Earlier rounds' files go before the clock starts: truncating a file
    // whose pages are still being written back waits for the disk.
    for (const char* name : {"minimal.bin", "posting.bin", "ours.bin"}) {
      fs::remove(dir / name);
    }
    bench::Emit("download.minimal", bytes,
                bench::Seconds([&] { MinimalReadLoop(url, dir / "minimal.bin"); }));
    bench::Emit("download.posting", bytes, bench::Seconds([&] {
                  MinimalReadLoop(url, dir / "posting.bin", [&] { window.PostBarePiece(); });
                }));
    bench::Emit("download.ours", bytes, bench::Seconds([&] {
                  DownloadToFile(url, dir / "ours.bin", bytes, L"bench", window.sink());
                }));
  }
  fs::remove_all(dir);
  std::printf("WINDOW handled=%llu longestWaitMs=%lu\n",
              static_cast<unsigned long long>(window.handled()), window.longestWaitMs());
  return 0;
}
