// Reads and drives the updater's progress window from outside, the way a user
// or the desktop would, for the program-level tests. Runs under Wine beside
// the updater; results go to a file (--out) because Wine's helper processes
// keep pipes open long after a program ends.
//
//   uiprobe state        [--out FILE]
//   uiprobe wait-state   --title TEXT [--min-progress N] [--timeout MS] [--out FILE]
//   uiprobe wait-error   [--timeout MS] [--out FILE]
//   uiprobe watch        --out FILE [--timeout MS]
//   uiprobe responsiveness --out FILE [--timeout MS]
//   uiprobe close | altf4 | click-close | dismiss-error
//
// Exit codes: 0 done, 1 no window (or no error box), 2 usage, 3 timed out.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t* WindowClass = L"VORNNativeUpdater";
constexpr const wchar_t* BoxCaption = L"VORN Update";
constexpr int CloseButtonId = 1;
constexpr UINT ReplyTimeoutMs = 5000;
constexpr DWORD PollIntervalMs = 10;
constexpr DWORD DefaultTimeoutMs = 30000;

constexpr int ExitDone = 0;
constexpr int ExitMissing = 1;
constexpr int ExitUsage = 2;
constexpr int ExitTimedOut = 3;

struct Options {
  std::wstring command;
  std::optional<std::wstring> title;
  std::optional<std::wstring> out;
  DWORD timeout = DefaultTimeoutMs;
  int minProgress = -1;
};

struct ErrorBox {
  HWND window = nullptr;
  std::wstring text;
};

struct State {
  HWND window = nullptr;
  std::wstring caption;
  std::wstring title;
  std::wstring detail;
  std::wstring percent;
  int progress = -1;
  bool closeEnabled = false;
  RECT closeRect{};
  std::vector<HWND> controls;
  std::vector<ErrorBox> boxes;
  // False when a text could not be read: an empty text then means nothing.
  bool readable = true;
};

// Text of a window in another process, or nothing when it cannot be read.
// WM_GETTEXT is marshalled across processes; the timeout keeps a hung
// updater from hanging the probe.
std::optional<std::wstring> ReadText(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs,
                             &length)) {
    return std::nullopt;
  }
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                             reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             ReplyTimeoutMs, &copied)) {
    return std::nullopt;
  }
  text.resize(std::min<std::size_t>(copied, text.size()));
  return text;
}

std::wstring TextOf(HWND window) { return ReadText(window).value_or(L""); }

// A text of the updater's window; one that cannot be read makes the whole
// reading unreadable.
std::wstring TextOf(HWND window, State& state) {
  std::optional<std::wstring> text = ReadText(window);
  state.readable = state.readable && text.has_value();
  return text.value_or(L"");
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  const int length = ::GetClassNameW(window, name, 256);
  return std::wstring(name, static_cast<std::size_t>(std::max(length, 0)));
}

bool SameClass(HWND window, std::wstring_view name) {
  return ::CompareStringOrdinal(ClassOf(window).c_str(), -1, name.data(),
                                static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  ::EnumChildWindows(
      parent,
      [](HWND child, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

RECT RectOf(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return rect;
}

// Message boxes owned by the updater window: dialogs with its caption.
std::vector<HWND> OwnedBoxes(HWND owner) {
  struct Search {
    HWND owner;
    std::vector<HWND> found;
  } search{owner, {}};
  ::EnumWindows(
      [](HWND candidate, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (::GetWindow(candidate, GW_OWNER) == s->owner && ::IsWindowVisible(candidate) &&
            SameClass(candidate, L"#32770") && TextOf(candidate) == BoxCaption) {
          s->found.push_back(candidate);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The message of a box is its STATIC child with id 0xFFFF; other statics
// hold the icon.
std::wstring BoxMessage(HWND box) {
  std::wstring fallback;
  for (HWND child : Children(box)) {
    if (!SameClass(child, L"Static")) {
      continue;
    }
    if (::GetDlgCtrlID(child) == 0xFFFF) {
      return TextOf(child);
    }
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(child, GWL_STYLE));
    if (fallback.empty() && (style & SS_TYPEMASK) != SS_ICON) {
      fallback = TextOf(child);
    }
  }
  return fallback;
}

HWND FindUpdater() { return ::FindWindowW(WindowClass, nullptr); }

// Labels are told apart by position (title above detail above percent), so
// the probe depends neither on z-order nor on control ids, which are all 0.
State ReadState(HWND window) {
  State state;
  state.window = window;
  state.caption = TextOf(window, state);
  std::vector<HWND> labels;
  for (HWND child : Children(window)) {
    if (::GetParent(child) != window) {
      continue;
    }
    if (SameClass(child, L"Static")) {
      labels.push_back(child);
      state.controls.push_back(child);
    } else if (SameClass(child, PROGRESS_CLASSW)) {
      DWORD_PTR position = 0;
      if (::SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs,
                                &position)) {
        state.progress = static_cast<int>(position);
      }
      state.controls.push_back(child);
    } else if (SameClass(child, L"Button") && ::GetDlgCtrlID(child) == CloseButtonId) {
      state.closeEnabled = ::IsWindowEnabled(child) != FALSE;
      state.closeRect = RectOf(child);
      state.controls.push_back(child);
    }
  }
  std::sort(labels.begin(), labels.end(), [](HWND a, HWND b) {
    const RECT ra = RectOf(a);
    const RECT rb = RectOf(b);
    return ra.top != rb.top ? ra.top < rb.top : ra.left < rb.left;
  });
  std::wstring* const slots[] = {&state.title, &state.detail, &state.percent};
  for (std::size_t i = 0; i < labels.size() && i < 3; ++i) {
    *slots[i] = TextOf(labels[i], state);
  }
  for (HWND box : OwnedBoxes(window)) {
    state.boxes.push_back({box, BoxMessage(box)});
  }
  return state;
}

// One reading of the window, or none when there is no window. A window
// still being built or already being destroyed counts as none: all five
// controls must have been there throughout the reading.
State ReadWhole(HWND window) {
  constexpr std::size_t ControlCount = 5;
  State state = ReadState(window);
  const bool whole = ::IsWindow(window) && state.controls.size() == ControlCount &&
                     std::all_of(state.controls.begin(), state.controls.end(),
                                 [](HWND control) { return ::IsWindow(control) != FALSE; });
  return whole ? state : State{};
}

bool SameState(const State& a, const State& b) {
  if (a.window != b.window || a.caption != b.caption || a.title != b.title || a.detail != b.detail ||
      a.percent != b.percent || a.progress != b.progress || a.closeEnabled != b.closeEnabled ||
      a.boxes.size() != b.boxes.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.boxes.size(); ++i) {
    if (a.boxes[i].window != b.boxes[i].window || a.boxes[i].text != b.boxes[i].text) {
      return false;
    }
  }
  return true;
}

// The window's state, read until two readings in a row agree: each control
// is read separately, and the updater may change several between two reads
// (say, enable Close and then set the title), which would mix two states.
State Snapshot() {
  constexpr int Attempts = 50;
  const HWND window = FindUpdater();
  if (window == nullptr) {
    return State{};
  }
  State previous = ReadWhole(window);
  for (int i = 0; i < Attempts && previous.window != nullptr; ++i) {
    State next = ReadWhole(window);
    if (next.readable && SameState(previous, next)) {
      return next;
    }
    previous = std::move(next);
  }
  return previous;
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
  return utf8;
}

std::string JsonString(std::wstring_view text) {
  std::string json = "\"";
  for (const char c : Utf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string JsonRect(const RECT& rect) {
  char json[64];
  std::snprintf(json, sizeof(json), "[%ld,%ld,%ld,%ld]", rect.left, rect.top, rect.right,
                rect.bottom);
  return json;
}

std::string ToJson(const State& state) {
  if (state.window == nullptr) {
    return "{\"found\":false}";
  }
  std::string json = "{\"found\":true";
  json += ",\"caption\":" + JsonString(state.caption);
  json += ",\"title\":" + JsonString(state.title);
  json += ",\"detail\":" + JsonString(state.detail);
  json += ",\"percent\":" + JsonString(state.percent);
  json += ",\"progress\":" + std::to_string(state.progress);
  json += std::string(",\"closeEnabled\":") + (state.closeEnabled ? "true" : "false");
  // Screen rectangles: where to crop a screenshot and where to click.
  json += ",\"rect\":" + JsonRect(RectOf(state.window));
  json += ",\"closeRect\":" + JsonRect(state.closeRect);
  json += ",\"errorBoxCount\":" + std::to_string(state.boxes.size());
  json += ",\"errorBox\":{\"present\":";
  if (state.boxes.empty()) {
    json += "false,\"text\":\"\"}";
  } else {
    json += "true,\"text\":" + JsonString(state.boxes.front().text) +
            ",\"rect\":" + JsonRect(RectOf(state.boxes.front().window)) + "}";
  }
  return json + "}";
}

// Written beside the target, then renamed over it: a reader that polls for
// the file never sees half of it.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  const std::wstring partial = path + L".partial";
  {
    std::ofstream file(std::filesystem::path(partial), std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
      return false;
    }
  }
  return ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool Emit(const Options& options, const std::string& json) {
  if (options.out) {
    return WriteFileBytes(*options.out, json + "\n");
  }
  std::fputs((json + "\n").c_str(), stdout);
  return true;
}

int Report(const Options& options, const State& state) {
  return Emit(options, ToJson(state)) ? ExitDone : ExitMissing;
}

// Polls until `matches` accepts the state of a present window.
template <typename Matches>
int WaitFor(const Options& options, Matches matches) {
  const ULONGLONG deadline = ::GetTickCount64() + options.timeout;
  for (;;) {
    const State state = Snapshot();
    if (state.window != nullptr && matches(state)) {
      return Report(options, state);
    }
    if (::GetTickCount64() >= deadline) {
      // The last state tells the test what was showing instead.
      Report(options, state);
      return ExitTimedOut;
    }
    ::Sleep(PollIntervalMs);
  }
}

// One JSON line per distinct state, from the window's appearance until it
// is gone, so a test can see states too short-lived to catch otherwise.
int Watch(const Options& options) {
  if (!options.out) {
    return ExitUsage;
  }
  std::ofstream log(std::filesystem::path(*options.out), std::ios::binary | std::ios::trunc);
  const ULONGLONG deadline = ::GetTickCount64() + options.timeout;
  std::string last;
  bool seen = false;
  while (::GetTickCount64() < deadline) {
    const State state = Snapshot();
    if (state.window == nullptr && seen) {
      log << "{\"found\":false}\n";
      log.flush();
      return ExitDone;
    }
    // A reading with a text that could not be read is not a state.
    if (state.window != nullptr && state.readable) {
      seen = true;
      const std::string json = ToJson(state);
      if (json != last) {
        log << json << "\n";
        log.flush();
        last = json;
      }
    }
    ::Sleep(PollIntervalMs);
  }
  return ExitTimedOut;
}

// How promptly the window thread handles messages while the update runs: a
// message sent every few milliseconds is answered only when the thread gets
// to it, so the longest reply time is the longest it went without handling
// messages. Also records when each title first showed: the phase timeline.
int Responsiveness(const Options& options) {
  if (!options.out) {
    return ExitUsage;
  }
  const ULONGLONG deadline = ::GetTickCount64() + options.timeout;
  HWND window = nullptr;
  while ((window = FindUpdater()) == nullptr) {
    if (::GetTickCount64() >= deadline) {
      return ExitTimedOut;
    }
    ::Sleep(1);
  }
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  const auto elapsedMs = [&] {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
  };
  double longestReplyMs = 0;
  std::uint64_t samples = 0;
  std::string phases;
  std::wstring lastTitle;
  while (::IsWindow(window) && ::GetTickCount64() < deadline) {
    const double before = elapsedMs();
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, ReplyTimeoutMs, &result)) {
      break;
    }
    longestReplyMs = std::max(longestReplyMs, elapsedMs() - before);
    ++samples;
    const State state = ReadState(window);
    if (state.window != nullptr && state.title != lastTitle) {
      lastTitle = state.title;
      phases += std::string(phases.empty() ? "" : ",") + "{\"title\":" + JsonString(lastTitle) +
                ",\"atMs\":" + std::to_string(elapsedMs()) + "}";
    }
    ::Sleep(2);
  }
  return Emit(options, "{\"longestReplyMs\":" + std::to_string(longestReplyMs) +
                           ",\"samples\":" + std::to_string(samples) + ",\"endMs\":" +
                           std::to_string(elapsedMs()) + ",\"phases\":[" + phases + "]}\n")
             ? ExitDone
             : ExitUsage;
}

// Sent, not posted: the reply comes once the window has handled the
// message, so a state read afterwards shows its effect.
bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, ReplyTimeoutMs,
                               &result) != 0 ||
         !::IsWindow(window);
}

int Deliver(const std::wstring& command, HWND window) {
  if (command == L"close") {
    return Send(window, WM_CLOSE, 0, 0) ? ExitDone : ExitMissing;
  }
  if (command == L"altf4") {
    // What the default handling of Alt+F4 and of the close box amounts to.
    return Send(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? ExitDone : ExitMissing;
  }
  if (command == L"click-close") {
    const HWND button = ::GetDlgItem(window, CloseButtonId);
    if (button == nullptr || !::IsWindowEnabled(button)) {
      // A disabled button cannot be clicked by a user either.
      return ExitMissing;
    }
    return Send(button, BM_CLICK, 0, 0) ? ExitDone : ExitMissing;
  }
  if (command == L"dismiss-error") {
    const std::vector<HWND> boxes = OwnedBoxes(window);
    if (boxes.empty()) {
      return ExitMissing;
    }
    const HWND ok = ::GetDlgItem(boxes.front(), IDOK);
    if (ok == nullptr) {
      return ExitMissing;
    }
    return Send(ok, BM_CLICK, 0, 0) ? ExitDone : ExitMissing;
  }
  return ExitUsage;
}

// Acts on the window, then reports its state, which shows the effect.
int Act(const Options& options) {
  const HWND window = FindUpdater();
  if (window == nullptr) {
    return ExitMissing;
  }
  const int result = Deliver(options.command, window);
  if (result == ExitDone && options.out) {
    return Report(options, Snapshot());
  }
  return result;
}

std::optional<Options> ParseOptions(int argc, wchar_t** argv) {
  if (argc < 2) {
    return std::nullopt;
  }
  Options options;
  options.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::wstring_view name = argv[i];
    if (i + 1 >= argc) {
      return std::nullopt;
    }
    const wchar_t* value = argv[++i];
    if (name == L"--title") {
      options.title = value;
    } else if (name == L"--out") {
      options.out = value;
    } else if (name == L"--timeout") {
      options.timeout = static_cast<DWORD>(std::wcstoul(value, nullptr, 10));
    } else if (name == L"--min-progress") {
      options.minProgress = static_cast<int>(std::wcstol(value, nullptr, 10));
    } else {
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::optional<Options> parsed = ParseOptions(argc, argv);
  if (!parsed) {
    std::fputs("usage: uiprobe state|wait-state|wait-error|watch|close|altf4|"
               "click-close|dismiss-error [options]\n",
               stderr);
    return ExitUsage;
  }
  const Options& options = *parsed;
  const std::wstring& command = options.command;
  if (command == L"state") {
    return Report(options, Snapshot());
  }
  if (command == L"wait-state") {
    if (!options.title) {
      return ExitUsage;
    }
    return WaitFor(options, [&](const State& state) {
      return state.title == *options.title && state.progress >= options.minProgress;
    });
  }
  if (command == L"wait-error") {
    return WaitFor(options, [](const State& state) { return !state.boxes.empty(); });
  }
  if (command == L"watch") {
    return Watch(options);
  }
  if (command == L"responsiveness") {
    return Responsiveness(options);
  }
  return Act(options);
}
