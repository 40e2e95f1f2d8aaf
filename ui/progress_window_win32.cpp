// The progress window on Windows: a plain Win32 window with four STATIC step
// labels and a common-controls progress bar. The labels' texts are UTF-16 and
// go through the wide calls; the class, title and bar go through the 8-bit
// calls, and the main window's default procedure is DefWindowProcA.
#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <commctrl.h>

#include <array>

#include "constants.h"
#include "ui/label_text.h"
#include "ui/progress_window.h"

namespace solvane {
namespace {

constexpr char kClassName[] = "SolvaneSetupClass";
constexpr char kIconName[] = "IDI_ICON1";

constexpr int kWindowWidth = 420;
constexpr int kWindowHeight = 210;
constexpr DWORD kWindowStyle = 0x00C80000;  // WS_CAPTION | WS_SYSMENU, created hidden
constexpr DWORD kLabelStyle = 0x50000000;   // WS_CHILD | WS_VISIBLE, SS_LEFT
constexpr DWORD kBarStyle = 0x50000001;     // WS_CHILD | WS_VISIBLE | PBS_SMOOTH

constexpr int kLabelX = 20;
constexpr int kLabelY = 15;
constexpr int kLabelPitch = 25;
constexpr int kLabelWidth = 370;
constexpr int kLabelHeight = 20;
constexpr int kFirstLabelId = 200;

constexpr int kBarX = 20;
constexpr int kBarY = 125;
constexpr int kBarWidth = 370;
constexpr int kBarHeight = 25;
constexpr int kBarId = 102;
constexpr LPARAM kBarRange = 0x00640000;  // low word 0, high word 100

constexpr COLORREF kDoneColour = 0x228B22;  // RGB(34, 139, 34)
constexpr int kLabelBufferUnits = 256;

struct WindowState {
  HWND main = nullptr;
  HWND bar = nullptr;
  std::array<HWND, kStepCount> labels{};
  std::array<bool, kStepCount> done{};
};

WindowState& State() {
  static WindowState state;
  return state;
}

const wchar_t* Wide(const std::u16string& text) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

void AppendToLabel(int index, std::u16string_view suffix) {
  const HWND label = State().labels[index];
  wchar_t buffer[kLabelBufferUnits] = {};
  ::GetWindowTextW(label, buffer, kLabelBufferUnits);
  const std::u16string current(reinterpret_cast<const char16_t*>(buffer));
  ::SetWindowTextW(label, Wide(AppendSuffix(current, suffix)));
}

bool InRange(int index) { return index >= 0 && index < kStepCount; }

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      // Nothing can be cancelled: the request to quit is drained and dropped
      // by the next PumpMessages, and the window stays until the install ends.
      ::PostQuitMessage(0);
      return 0;
    case WM_CTLCOLORSTATIC: {
      const auto dc = reinterpret_cast<HDC>(wparam);
      const auto control = reinterpret_cast<HWND>(lparam);
      const WindowState& state = State();
      for (int i = 0; i < kStepCount; ++i) {
        if (state.labels[i] != control) continue;
        if (state.done[i]) ::SetTextColor(dc, kDoneColour);
        ::SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
      }
      break;
    }
    default:
      break;
  }
  return ::DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

WindowHandle CreateProgressWindow() {
  WindowState& state = State();

  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS;
  ::InitCommonControlsEx(&controls);

  const HINSTANCE module = ::GetModuleHandleA(nullptr);
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = 0;
  window_class.lpfnWndProc = ProgressWindowProc;
  window_class.cbClsExtra = 0;
  window_class.cbWndExtra = 0;
  window_class.hInstance = module;
  window_class.hIcon = ::LoadIconA(module, kIconName);
  window_class.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszMenuName = nullptr;
  window_class.lpszClassName = kClassName;
  window_class.hIconSm = nullptr;
  ::RegisterClassExA(&window_class);

  // The whole primary screen, not the work area.
  const int screen_width = ::GetSystemMetrics(SM_CXSCREEN);
  const int screen_height = ::GetSystemMetrics(SM_CYSCREEN);
  const int x = (screen_width - kWindowWidth) / 2;
  const int y = (screen_height - kWindowHeight) / 2;

  state.main = ::CreateWindowExA(0, kClassName, kWindowTitle, kWindowStyle, x, y, kWindowWidth,
                                 kWindowHeight, nullptr, nullptr, module, nullptr);

  for (int i = 0; i < kStepCount; ++i) {
    const std::u16string text = InitialStepText(i);
    state.labels[i] = ::CreateWindowExW(
        0, L"STATIC", Wide(text), kLabelStyle, kLabelX, kLabelY + kLabelPitch * i, kLabelWidth,
        kLabelHeight, state.main, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstLabelId + i)),
        module, nullptr);
    state.done[i] = false;
  }

  state.bar = ::CreateWindowExA(
      0, PROGRESS_CLASSA, nullptr, kBarStyle, kBarX, kBarY, kBarWidth, kBarHeight, state.main,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kBarId)), module, nullptr);
  ::SendMessageA(state.bar, PBM_SETRANGE, 0, kBarRange);
  ::SendMessageA(state.bar, PBM_SETPOS, 0, 0);

  ::ShowWindow(state.main, SW_SHOW);
  ::UpdateWindow(state.main);
  return state.main;
}

void MarkStepActive(int index) {
  if (!InRange(index)) return;
  AppendToLabel(index, kActiveSuffix);
  PumpMessages();
}

void MarkStepDone(int index) {
  if (!InRange(index)) return;
  // Set first, so every repaint from here on draws the label green.
  State().done[index] = true;
  AppendToLabel(index, kDoneSuffix);
  ::InvalidateRect(State().labels[index], nullptr, TRUE);
  PumpMessages();
}

void SetStepText(int index, const std::u16string& text) {
  if (!InRange(index)) return;
  ::SetWindowTextW(State().labels[index], Wide(text));
  PumpMessages();
}

void SetProgress(int percent) {
  const HWND bar = State().bar;
  if (bar) {
    ::SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(static_cast<INT_PTR>(percent)), 0);
  }
  PumpMessages();
}

void PumpMessages() {
  // WM_QUIT from a close request is removed and dispatched like any other
  // message; nothing waits for it.
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
}

void DestroyProgressWindow(WindowHandle window) {
  if (window) ::DestroyWindow(static_cast<HWND>(window));
}

void ShowErrorMessage(WindowHandle owner, const char* text) {
  ::MessageBoxA(static_cast<HWND>(owner), text, kWindowTitle, MB_OK | MB_ICONERROR);
}

}  // namespace solvane
