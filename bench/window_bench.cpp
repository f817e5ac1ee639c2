// How promptly the updater's window thread handles messages during a whole
// run, and when each title first showed (the phase timeline).
//
//   window_bench OUT [TIMEOUT_MS]
//
// A message sent every few milliseconds is answered only when the window
// thread gets to it, so the longest reply time is the longest the thread went
// without handling messages. Writes one JSON object to OUT.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr UINT ReplyTimeoutMs = 5000;

// The title is the topmost static control of the window.
std::wstring Title(HWND window) {
  std::pair<LONG, std::wstring> top{LONG_MAX, L""};
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[16] = {};
    RECT rect{};
    GetClassNameW(child, name, 16);
    GetWindowRect(child, &rect);
    if (_wcsicmp(name, L"Static") == 0 && rect.top < top.first) {
      wchar_t text[256] = {};
      DWORD_PTR copied = 0;
      SendMessageTimeoutW(child, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, ReplyTimeoutMs,
                          &copied);
      top = {rect.top, text};
    }
  }
  return top.second;
}

std::string Utf8(const std::wstring& text) {
  std::string bytes(text.size() * 3, '\0');
  bytes.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                            bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                                            nullptr)));
  return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const ULONGLONG deadline = GetTickCount64() + (argc > 2 ? std::wcstoull(argv[2], nullptr, 10) : 1800000);
  HWND window = nullptr;
  while ((window = FindWindowW(L"VORNNativeUpdater", nullptr)) == nullptr) {
    if (GetTickCount64() >= deadline) return 3;
    Sleep(1);
  }
  const auto start = std::chrono::steady_clock::now();
  const auto elapsedMs = [&] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  };
  double longestReplyMs = 0;
  unsigned long long samples = 0;
  std::string phases;
  std::wstring lastTitle;
  while (IsWindow(window) && GetTickCount64() < deadline) {
    const double before = elapsedMs();
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, ReplyTimeoutMs, &result)) break;
    longestReplyMs = std::max(longestReplyMs, elapsedMs() - before);
    ++samples;
    if (const std::wstring title = Title(window); title != lastTitle) {
      lastTitle = title;
      phases += std::string(phases.empty() ? "" : ",") + "{\"title\":\"" + Utf8(title) +
                "\",\"atMs\":" + std::to_string(elapsedMs()) + "}";
    }
    Sleep(2);
  }
  FILE* out = _wfopen(argv[1], L"wb");
  if (out == nullptr) return 1;
  std::fprintf(out, "{\"longestReplyMs\":%f,\"samples\":%llu,\"endMs\":%f,\"phases\":[%s]}\n", longestReplyMs,
               samples, elapsedMs(), phases.c_str());
  return std::fclose(out) == 0 ? 0 : 1;
}
