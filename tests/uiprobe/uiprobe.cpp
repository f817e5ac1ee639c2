// Reads and drives the updater's window from outside, as a user would, for the
// program-level tests. Results go to files: Wine's helper processes keep pipes
// open long after a program ends.
//
//   uiprobe watch OUT click|close|altf4 [TEXT THAW]
//       One JSON line per distinct state of the window until it is gone. An
//       error box is read and dismissed, then the window closed the given way:
//       its Close button, WM_CLOSE, or SC_CLOSE. With TEXT, the window's thread
//       is suspended at the first state showing TEXT (as title or in the box)
//       until the file THAW exists, for a photograph even of a state the
//       window leaves by itself.
//   uiprobe state OUT | close OUT | altf4 OUT
//       The state; after WM_CLOSE, or SC_CLOSE as the close box and Alt+F4 send.
// Exit codes: 0 done, 1 no window, 2 usage. The tests end a watch that hangs.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "../standins/standin.h"

namespace {

constexpr const wchar_t* Caption = L"VORN Update";
constexpr int CloseButtonId = 1;
constexpr UINT ReplyTimeoutMs = 5000;

struct State {
  HWND window = nullptr;  // none: the window is not there
  std::wstring caption, title, detail, percent, boxText;
  int progress = -1;
  bool closeEnabled = false;
  RECT rect{}, boxRect{};
  std::vector<HWND> boxes;
  // False when a text could not be read: an empty text then means nothing.
  bool readable = true;
};

// WM_GETTEXT is marshalled across processes; the time-out keeps a hung
// updater from hanging the probe.
std::optional<std::wstring> ReadText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &length)) {
    return {};
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, ReplyTimeoutMs, &copied)) {
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

// Windows of a class (any when null) and a caption (any when null) among
// the children of `parent`, or among the top-level windows when it is null.
std::vector<HWND> Find(HWND parent, const wchar_t* windowClass = nullptr, const wchar_t* caption = nullptr) {
  std::vector<HWND> found;
  for (HWND child = nullptr; (child = FindWindowExW(parent, child, windowClass, caption)) != nullptr;) {
    found.push_back(child);
  }
  return found;
}

// Labels are told apart by position (title above detail above percent), as
// their control ids are all 0. A window still being built or already being
// destroyed reads as none: all five controls must be there.
State Read(HWND window) {
  State state;
  state.window = window;
  state.caption = TextOf(window, state);
  state.rect = RectOf(window);
  std::vector<HWND> labels, controls;
  for (HWND child : Find(window)) {
    if (IsClass(child, L"Static")) {
      labels.push_back(child);
    } else if (IsClass(child, PROGRESS_CLASSW)) {
      DWORD_PTR position = 0;
      state.readable = state.readable && SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG,
                                                             ReplyTimeoutMs, &position) != 0;
      state.progress = static_cast<int>(position);
    } else if (IsClass(child, L"Button") && GetDlgCtrlID(child) == CloseButtonId) {
      state.closeEnabled = IsWindowEnabled(child) != FALSE;
    } else {
      continue;
    }
    controls.push_back(child);
  }
  std::sort(labels.begin(), labels.end(), [](HWND a, HWND b) { return RectOf(a).top < RectOf(b).top; });
  std::wstring* const slots[] = {&state.title, &state.detail, &state.percent};
  for (std::size_t i = 0; i < labels.size() && i < 3; ++i) *slots[i] = TextOf(labels[i], state);
  // Message boxes are dialogs with the updater's caption that it owns.
  for (HWND box : Find(nullptr, L"#32770", Caption)) {
    if (GetWindow(box, GW_OWNER) == window && IsWindowVisible(box)) state.boxes.push_back(box);
  }
  if (!state.boxes.empty()) {
    state.boxRect = RectOf(state.boxes.front());
    // The message of a box is its static control with id 0xFFFF.
    if (const HWND text = GetDlgItem(state.boxes.front(), 0xFFFF)) state.boxText = TextOf(text, state);
  }
  const bool whole = IsWindow(window) && controls.size() == 5 &&
                     std::all_of(controls.begin(), controls.end(), IsWindow);
  return whole ? state : State{};
}

std::string Json(const std::wstring& text) {
  std::string json = "\"";
  for (const char c : standin::ToUtf8(text)) {
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

std::string Json(const State& s) {
  if (s.window == nullptr) return "{\"found\":false}";
  return "{\"found\":true,\"caption\":" + Json(s.caption) + ",\"title\":" + Json(s.title) +
         ",\"detail\":" + Json(s.detail) + ",\"percent\":" + Json(s.percent) +
         ",\"progress\":" + std::to_string(s.progress) + ",\"closeEnabled\":" +
         (s.closeEnabled ? "true" : "false") + ",\"rect\":" + Json(s.rect) + ",\"boxes\":" +
         std::to_string(s.boxes.size()) + ",\"boxText\":" + Json(s.boxText) + ",\"boxRect\":" +
         Json(s.boxRect) + "}";
}

// The window's state, read until two readings agree: each control is read on
// its own, and the updater may change several between two reads. None when
// no two readings agreed.
std::optional<State> Snapshot() {
  std::string previous;
  for (int attempt = 0; attempt < 50; ++attempt) {
    const HWND window = FindWindowW(L"VORNNativeUpdater", nullptr);
    const State state = window != nullptr ? Read(window) : State{};
    const std::string json = Json(state);
    if (state.window == nullptr || (state.readable && json == previous)) return state;
    previous = state.readable ? json : "";
  }
  return std::nullopt;
}

// Sent, not posted: the reply comes once the window has handled it.
bool Send(HWND window, UINT message, WPARAM wParam) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, message, wParam, 0, SMTO_NORMAL, ReplyTimeoutMs, &result) ||
         !IsWindow(window);
}

bool Close(const std::string& how, HWND window) {
  if (how == "close") return Send(window, WM_CLOSE, 0);
  if (how == "altf4") return Send(window, WM_SYSCOMMAND, SC_CLOSE);
  return how == "click" && Send(GetDlgItem(window, CloseButtonId), BM_CLICK, 0);
}

bool Write(const std::wstring& path, const std::string& line, bool append) {
  std::ofstream out(path.c_str(), std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  return static_cast<bool>(out << line << "\n" << std::flush);
}

// Paints the window and its box, then stops its thread until `thaw` exists.
void Hold(const State& state, const std::wstring& out, const std::wstring& thaw) {
  std::vector<HWND> windows = state.boxes;
  windows.push_back(state.window);
  for (HWND window : windows) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
  // Wine hands what was painted to the X server once the window's thread
  // next waits for messages: a moment for that before the thread stops.
  Sleep(150);
  const DWORD id = GetWindowThreadProcessId(state.window, nullptr);
  const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, id);
  if (thread != nullptr) SuspendThread(thread);
  Write(out, Json(state), true);
  while (GetFileAttributesW(thaw.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
  if (thread != nullptr) {
    ResumeThread(thread);
    CloseHandle(thread);
  }
}

int Watch(const std::wstring& out, const std::string& close, const std::wstring& hold,
          const std::wstring& thaw) {
  std::string last;
  bool held = false, dismissed = false, closed = false;
  for (;; Sleep(10)) {
    const std::optional<State> state = Snapshot();
    if (!state || (last.empty() && state->window == nullptr)) continue;  // not yet there
    const std::string json = Json(*state);
    if (!held && !hold.empty() && (state->title == hold || state->boxText == hold)) {
      held = true;
      Hold(*state, out, thaw);
    } else if (json != last) {
      Write(out, json, true);
    }
    last = json;
    if (state->window == nullptr) return 0;
    if (!state->boxes.empty()) {
      dismissed = Send(GetDlgItem(state->boxes.front(), IDOK), BM_CLICK, 0);
    } else if (dismissed && !closed) {
      closed = Close(close, state->window);
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() < 2) return 2;
  const std::string command = standin::ToUtf8(args[0]);
  if (command == "watch") {
    if (args.size() != 3 && args.size() != 5) return 2;
    const bool held = args.size() == 5;
    return Watch(args[1], standin::ToUtf8(args[2]), held ? args[3] : L"", held ? args[4] : L"");
  }
  const HWND window = FindWindowW(L"VORNNativeUpdater", nullptr);
  if (command != "state" && (window == nullptr || !Close(command, window))) return 1;
  const std::optional<State> state = Snapshot();
  return Write(args[1], state ? Json(*state) : "", false) ? 0 : 1;
}
