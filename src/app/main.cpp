#include <windows.h>

#include "app/window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return RunUpdaterWindow(instance);
}
