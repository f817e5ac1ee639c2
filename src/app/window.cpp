#include "app/window.h"

#include <commctrl.h>

#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "app/progress.h"
#include "update/update_run.h"

namespace {

constexpr UINT_PTR CloseTimerId = 1;
constexpr UINT CloseDelayMs = 900;
constexpr int ProgressRange = 1000;

// The controls, created and used by the window thread only.
HWND titleLabel = nullptr;
HWND detailLabel = nullptr;
HWND progressBar = nullptr;
HWND percentLabel = nullptr;
HWND closeButton = nullptr;

HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style,
                   int x, int y, int width, int height, int id) {
  return ::CreateWindowExW(0, className, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

void ShowProgress(const ProgressUpdate& update) {
  ::SetWindowTextW(titleLabel, update.title.c_str());
  ::SetWindowTextW(detailLabel, update.detail.c_str());
  ::SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(update.permille), 0);
  ::SetWindowTextW(percentLabel, PercentText(update.permille).c_str());
}

void ShowFailure(HWND window, const wchar_t* message) {
  ::EnableWindow(closeButton, TRUE);
  ::SetWindowTextW(titleLabel, L"Update failed");
  ::SetWindowTextW(detailLabel, message);
  ::MessageBoxW(window, message, UpdaterWindowTitle, MB_ICONERROR | MB_OK);
}

void ShowOutcome(HWND window, WPARAM success, LPARAM lParam) {
  if (success != 0) {
    ::EnableWindow(closeButton, TRUE);
    ::SetWindowTextW(titleLabel, L"Update complete");
    ::SetWindowTextW(detailLabel, L"VORN Launcher is ready.");
    ::SendMessageW(progressBar, PBM_SETPOS, ProgressRange, 0);
    ::SetWindowTextW(percentLabel, L"100%");
    ::SetTimer(window, CloseTimerId, CloseDelayMs, nullptr);
    return;
  }
  const std::unique_ptr<std::wstring> message = TakeFailureMessage(lParam);
  ShowFailure(window, message ? message->c_str() : L"Unknown error");
}

void CreateControls(HWND window) {
  const auto font = reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT));
  constexpr DWORD Label = WS_CHILD | WS_VISIBLE;
  titleLabel = CreateControl(window, L"STATIC", L"Preparing update", Label, 28, 22, 500, 30, 0);
  detailLabel =
      CreateControl(window, L"STATIC", L"Reading update information...", Label, 28, 64, 500, 24, 0);
  progressBar = CreateControl(window, PROGRESS_CLASSW, nullptr, Label, 28, 101, 500, 24, 0);
  ::SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressRange));
  percentLabel =
      CreateControl(window, L"STATIC", L"0%", Label | SS_CENTER, 28, 132, 500, 22, 0);
  closeButton = CreateControl(window, L"BUTTON", L"Close",
                              WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_DEFPUSHBUTTON, 413, 166,
                              115, 32, CloseButtonId);
  for (HWND label : {titleLabel, detailLabel, percentLabel}) {
    ::SendMessageW(label, WM_SETFONT, font, TRUE);
  }
}

void StartWorker(HWND window) {
  // The worker posts from its first step on; CreateWindowExW has not returned
  // the handle yet, so it comes from the window procedure. The worker owns
  // its sink: the thread is never joined and may outlive the window.
  try {
    std::thread([sink = std::make_unique<WindowProgressSink>(window)] { RunUpdate(*sink); })
        .detach();
  } catch (const std::system_error&) {
    ShowFailure(window, L"The update could not be started.");
  }
}

}  // namespace

LRESULT CALLBACK UpdaterWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateControls(window);
      StartWorker(window);
      return 0;
    case WM_UPDATE_PROGRESS:
      ShowProgress(*TakeProgressUpdate(lParam));
      return 0;
    case WM_UPDATE_FINISHED:
      ShowOutcome(window, wParam, lParam);
      return 0;
    case WM_TIMER:
      ::DestroyWindow(window);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == CloseButtonId) {
        ::DestroyWindow(window);
      }
      return 0;
    case WM_CLOSE:
      // Closing is refused while the update runs.
      if (::IsWindowEnabled(closeButton)) {
        ::DestroyWindow(window);
      }
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

int RunUpdaterWindow(HINSTANCE instance) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&controls);

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = UpdaterWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = UpdaterWindowClass;
  ::RegisterClassExW(&windowClass);

  const HWND window = ::CreateWindowExW(0, UpdaterWindowClass, UpdaterWindowTitle,
                                        WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT,
                                        575, 245, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    return 1;
  }
  ::ShowWindow(window, SW_SHOW);
  ::UpdateWindow(window);

  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return UpdaterExitCode.load();
}
