// Closes the program's progress window the way its caption's close button
// does (WM_SYSCOMMAND with SC_CLOSE), then reports whether the window is
// still there a moment later: closing must not cancel a fresh install.
//
//   close_window.exe [seconds]     (default 60)
//
// Prints "still_there=1" or "still_there=0". Exits 0 when a window was found
// and closed, 1 when none came in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  HWND window = nullptr;
  for (int i = 0; i < seconds * 10 && !window; ++i) {
    window = ::FindWindowA("SolvaneSetupClass", "Solvane Setup");
    if (!window || !::IsWindowVisible(window)) {
      window = nullptr;
      ::Sleep(100);
    }
  }
  if (!window) {
    std::printf("no progress window\n");
    return 1;
  }
  ::PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  ::Sleep(1500);
  std::printf("still_there=%d\n", ::IsWindow(window) && ::IsWindowVisible(window) ? 1 : 0);
  return 0;
}
