// DownloadToFile next to a minimal WinHTTP read loop with the same 128 KiB
// buffer, both against the same URL in the same process.
// Usage: download_bench URL EXPECTED_SIZE [work-dir]
#include <windows.h>
#include <winhttp.h>

#include <cstdlib>
#include <string>

#include "app/progress.h"
#include "bench_support.h"
#include "net/download.h"
#include "net/http_get.h"

namespace fs = std::filesystem;

namespace {

std::uint64_t MinimalReadLoop(const std::wstring& url, const fs::path& target) {
  WinHttpHandle session;
  WinHttpHandle connection;
  const WinHttpHandle request = OpenHttpGet(url, session, connection);
  const HANDLE file = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  std::vector<char> buffer(131072);
  std::uint64_t total = 0;
  DWORD read = 0;
  while (::WinHttpReadData(request.get(), buffer.data(), 131072, &read) && read > 0) {
    DWORD written = 0;
    ::WriteFile(file, buffer.data(), read, &written, nullptr);
    total += read;
  }
  ::CloseHandle(file);
  return total;
}


}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: download_bench URL EXPECTED_SIZE [work-dir]\n");
    return 2;
  }
  const std::wstring url = argv[1];
  const std::uint64_t bytes = std::wcstoull(argv[2], nullptr, 10);
  const fs::path dir = argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path() / "vorn-dl-bench";
  fs::create_directories(dir);
  mainWindow = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
  std::printf("download_bench: %ls (%llu bytes)\n", url.c_str(),
              static_cast<unsigned long long>(bytes));

  const double limit = bench::MiBPerSecond(
      bytes, bench::Seconds([&] { MinimalReadLoop(url, dir / "minimal.bin"); }));
  bench::Report("download: minimal WinHTTP loop", bytes, bytes / (limit * 1048576.0));
  const double ours = bench::Seconds([&] {
    DownloadToFile(url, dir / "ours.bin", bytes, L"bench");
    bench::DrainProgressMessages();
  });
  bench::Report("download: DownloadToFile", bytes, ours, limit);
  fs::remove_all(dir);
  return 0;
}
