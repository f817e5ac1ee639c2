// Reads and drives the updater's window from outside, as a user would, for the
// program-level tests. Results go to files: Wine's helper processes keep pipes
// open long after a program ends.
//
//   uiprobe watch OUT [--close click|close|altf4|none] [--hold TEXT THAW] [--timeout MS]
//       One JSON line per distinct state of the window until it is gone. An
//       error box is read and dismissed, then the window closed the given way.
//       --hold suspends the window's thread at the first state showing TEXT
//       (as title or in the box) until the file THAW exists, for a photograph
//       even of a state the window leaves by itself.
//   uiprobe state OUT | close OUT | altf4 OUT
//       The state; after WM_CLOSE, or SC_CLOSE as the close box and Alt+F4 send.
// Exit codes: 0 done, 1 no window, 2 usage, 3 timed out.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* BoxCaption = L"VORN Update";
constexpr int CloseButtonId = 1;
constexpr UINT ReplyTimeoutMs = 5000;

struct State {
  HWND window = nullptr;
  std::wstring caption, title, detail, percent, boxText;
  int progress = -1;
  bool closeEnabled = false;
  RECT rect{}, closeRect{};
  std::vector<HWND> controls, boxes;
  // False when a text could not be read: an empty text then means nothing.
  bool readable = true;
};

// WM_GETTEXT is marshalled across processes; the time-out keeps a hung
// updater from hanging the probe.
std::optional<std::wstring> ReadText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &length)) return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                           ReplyTimeoutMs, &copied)) {
    return {};
  }
  text.resize(std::min<std::size_t>(copied, text.size()));
  return text;
}

std::wstring TextOf(HWND window, State& state) {
  const std::optional<std::wstring> text = ReadText(window);
  state.readable = state.readable && text.has_value();
  return text.value_or(L"");
}

bool IsClass(HWND window, const wchar_t* name) {
  wchar_t found[64] = {};
  GetClassNameW(window, found, 64);
  return CompareStringOrdinal(found, -1, name, -1, TRUE) == CSTR_EQUAL;
}

RECT RectOf(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return rect;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, [](HWND child, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
  }, reinterpret_cast<LPARAM>(&children));
  return children;
}

// Message boxes owned by the updater window: dialogs with its caption.
std::vector<HWND> Boxes(HWND owner) {
  std::pair<HWND, std::vector<HWND>> search{owner, {}};
  EnumWindows([](HWND candidate, LPARAM data) {
    auto* s = reinterpret_cast<std::pair<HWND, std::vector<HWND>>*>(data);
    if (GetWindow(candidate, GW_OWNER) == s->first && IsWindowVisible(candidate) && IsClass(candidate, L"#32770") &&
        ReadText(candidate) == BoxCaption) {
      s->second.push_back(candidate);
    }
    return TRUE;
  }, reinterpret_cast<LPARAM>(&search));
  return search.second;
}

// The message of a box is its static control with id 0xFFFF.
std::wstring BoxMessage(HWND box, State& state) {
  for (HWND child : Children(box)) {
    if (IsClass(child, L"Static") && GetDlgCtrlID(child) == 0xFFFF) return TextOf(child, state);
  }
  return L"";
}

// Labels are told apart by position (title above detail above percent), as
// their control ids are all 0. A window still being built or already being
// destroyed reads as none: all five controls must be there.
State Read(HWND window) {
  State state;
  state.window = window;
  state.caption = TextOf(window, state);
  state.rect = RectOf(window);
  std::vector<HWND> labels;
  for (HWND child : Children(window)) {
    if (IsClass(child, L"Static")) {
      labels.push_back(child);
    } else if (IsClass(child, PROGRESS_CLASSW)) {
      DWORD_PTR position = 0;
      state.readable = state.readable && SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG,
                                                             ReplyTimeoutMs, &position);
      state.progress = static_cast<int>(position);
    } else if (IsClass(child, L"Button") && GetDlgCtrlID(child) == CloseButtonId) {
      state.closeEnabled = IsWindowEnabled(child) != FALSE;
      state.closeRect = RectOf(child);
    } else {
      continue;
    }
    state.controls.push_back(child);
  }
  std::sort(labels.begin(), labels.end(), [](HWND a, HWND b) { return RectOf(a).top < RectOf(b).top; });
  std::wstring* const slots[] = {&state.title, &state.detail, &state.percent};
  for (std::size_t i = 0; i < labels.size() && i < 3; ++i) *slots[i] = TextOf(labels[i], state);
  state.boxes = Boxes(window);
  const bool whole = IsWindow(window) && state.controls.size() == 5 &&
                     std::all_of(state.controls.begin(), state.controls.end(), IsWindow);
  return whole ? state : State{};
}

std::string Utf8(const std::wstring& text) {
  std::string bytes(text.size() * 3, '\0');
  bytes.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                            bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                                            nullptr)));
  return bytes;
}

std::string Json(const std::wstring& text) {
  std::string json = "\"";
  for (const char c : Utf8(text)) {
    if (c == '"' || c == '\\') json += '\\';
    json += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;  // the window's texts hold no control characters
  }
  return json + "\"";
}

std::string Json(const RECT& r) {
  char json[64];
  std::snprintf(json, sizeof json, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
  return json;
}

// The window's state as JSON, read until two readings agree: each control is
// read on its own, and the updater may change several between two reads.
std::string Snapshot(State* kept = nullptr) {
  std::string previous;
  for (int attempt = 0; attempt < 50; ++attempt) {
    const HWND window = FindWindowW(L"VORNNativeUpdater", nullptr);
    State s = window != nullptr ? Read(window) : State{};
    if (s.window == nullptr) return "{\"found\":false}";
    const std::wstring boxText = s.boxes.empty() ? L"" : BoxMessage(s.boxes.front(), s);
    const std::string json = "{\"found\":true,\"caption\":" + Json(s.caption) + ",\"title\":" + Json(s.title) +
                             ",\"detail\":" + Json(s.detail) + ",\"percent\":" + Json(s.percent) +
                             ",\"progress\":" + std::to_string(s.progress) + ",\"closeEnabled\":" +
                             (s.closeEnabled ? "true" : "false") + ",\"rect\":" + Json(s.rect) +
                             ",\"closeRect\":" + Json(s.closeRect) + ",\"boxes\":" +
                             std::to_string(s.boxes.size()) + ",\"boxText\":" + Json(boxText) + ",\"boxRect\":" +
                             Json(s.boxes.empty() ? RECT{} : RectOf(s.boxes.front())) + "}";
    if (s.readable && json == previous) {
      if (kept != nullptr) {
        *kept = s;
        kept->boxText = boxText;
      }
      return json;
    }
    previous = s.readable ? json : "";
  }
  return "";  // never the same twice: not a state
}

// Sent, not posted: the reply comes once the window has handled it.
bool Send(HWND window, UINT message, WPARAM wParam) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, message, wParam, 0, SMTO_NORMAL, ReplyTimeoutMs, &result) || !IsWindow(window);
}

bool Close(const std::string& how, HWND window) {
  if (how == "close") return Send(window, WM_CLOSE, 0);
  if (how == "altf4") return Send(window, WM_SYSCOMMAND, SC_CLOSE);
  if (how == "click") return Send(GetDlgItem(window, CloseButtonId), BM_CLICK, 0);
  return how == "none";
}

bool WriteFile(const std::wstring& path, const std::string& text, bool append) {
  std::ofstream out(path.c_str(), std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  return static_cast<bool>(out << text << "\n" << std::flush);
}

// Paints the window and its box, then stops its thread until `thaw` exists.
void Hold(const State& state, const std::string& json, const std::wstring& out, const std::wstring& thaw) {
  std::vector<HWND> windows = state.boxes;
  windows.push_back(state.window);
  for (HWND window : windows) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  // Wine hands what was painted to the X server once the window's thread
  // next waits for messages: a moment for that before the thread stops.
  Sleep(150);
  const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetWindowThreadProcessId(state.window, nullptr));
  if (thread != nullptr) SuspendThread(thread);
  WriteFile(out, json, true);
  while (GetFileAttributesW(thaw.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
  if (thread != nullptr) {
    ResumeThread(thread);
    CloseHandle(thread);
  }
}

int Watch(const std::wstring& out, const std::string& close, const std::wstring& hold, const std::wstring& thaw,
          ULONGLONG timeout) {
  const ULONGLONG deadline = GetTickCount64() + timeout;
  std::string last;
  bool held = false, dismissed = false, closed = false;
  WriteFile(out, "", false);
  for (; GetTickCount64() < deadline; Sleep(10)) {
    State state;
    const std::string json = Snapshot(&state);
    if (json.empty() || (last.empty() && state.window == nullptr)) continue;  // not yet there
    if (!held && !hold.empty() && (state.title == hold || state.boxText == hold)) {
      held = true;
      Hold(state, json, out, thaw);
    } else if (json != last) {
      WriteFile(out, json, true);
    }
    last = json;
    if (state.window == nullptr) return 0;
    if (!state.boxes.empty()) {
      dismissed = Send(GetDlgItem(state.boxes.front(), IDOK), BM_CLICK, 0);
    } else if (dismissed && !closed) {
      closed = Close(close, state.window);
    }
  }
  return 3;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() < 2) return 2;
  const std::string command = Utf8(args[0]);
  if (command == "watch") {
    std::string close = "click";
    std::wstring hold, thaw;
    ULONGLONG timeout = 300000;
    for (std::size_t i = 2; i + 1 < args.size(); i += 2) {
      if (args[i] == L"--close") close = Utf8(args[i + 1]);
      if (args[i] == L"--timeout") timeout = std::wcstoull(args[i + 1].c_str(), nullptr, 10);
      if (args[i] == L"--hold" && i + 2 < args.size()) {
        hold = args[i + 1];
        thaw = args[++i + 1];
      }
    }
    return Watch(args[1], close, hold, thaw, timeout);
  }
  const HWND window = FindWindowW(L"VORNNativeUpdater", nullptr);
  if (command != "state" && (window == nullptr || !Close(command, window))) return 1;
  return WriteFile(args[1], Snapshot(), false) ? 0 : 1;
}
