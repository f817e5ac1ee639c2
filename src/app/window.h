#pragma once

#include <windows.h>

// Window class and title of the progress window.
inline constexpr const wchar_t* UpdaterWindowClass = L"VORNNativeUpdater";
inline constexpr const wchar_t* UpdaterWindowTitle = L"VORN Update";

// Control id of the Close button.
inline constexpr int CloseButtonId = 1;

// Registers the class, creates and shows the window, runs the message loop
// and returns the process exit code.
int RunUpdaterWindow(HINSTANCE instance);

LRESULT CALLBACK UpdaterWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
