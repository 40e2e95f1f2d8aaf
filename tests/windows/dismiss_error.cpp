// Waits for the program's error message box, reports what it shows and
// presses its OK button, so a test can walk through a failed fresh install.
//
//   dismiss_error.exe [seconds]     (default 60)
//
// Prints, one per line: the message text (UTF-8), the class of the owner
// window, whether the box shows the error icon, and the box's buttons.
// Exits 0 when a box was found and dismissed, 1 when none came in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<std::size_t>(size - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

struct Search {
  HWND box = nullptr;
};

BOOL CALLBACK FindBox(HWND window, LPARAM data) {
  wchar_t class_name[64] = {};
  wchar_t title[64] = {};
  ::GetClassNameW(window, class_name, 64);
  ::GetWindowTextW(window, title, 64);
  if (std::wstring(class_name) == L"#32770" && std::wstring(title) == L"Solvane Setup" &&
      ::IsWindowVisible(window)) {
    reinterpret_cast<Search*>(data)->box = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK FindIconControl(HWND child, LPARAM data) {
  wchar_t class_name[64] = {};
  ::GetClassNameW(child, class_name, 64);
  const LONG style = ::GetWindowLongW(child, GWL_STYLE);
  if (std::wstring(class_name) == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
    *reinterpret_cast<HWND*>(data) = child;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CountButtons(HWND child, LPARAM data) {
  wchar_t class_name[64] = {};
  ::GetClassNameW(child, class_name, 64);
  if (std::wstring(class_name) == L"Button" && ::IsWindowVisible(child)) {
    ++*reinterpret_cast<int*>(data);
  }
  return TRUE;
}

// How many pixels on screen inside `control` are strongly red, as the error
// icon's disc is (the warning and information icons are yellow and blue).
// Icon handles belong to their process, so the icon is judged by what the
// screen shows.
int RedPixels(HWND control) {
  RECT r{};
  if (!control || !::GetWindowRect(control, &r)) return -1;
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return -1;
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HDC screen = ::GetDC(nullptr);
  const HDC memory = ::CreateCompatibleDC(screen);
  const HBITMAP bitmap = ::CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  int red = -1;
  if (bitmap && bits) {
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ::GdiFlush();
    red = 0;
    const auto* pixel = static_cast<const unsigned char*>(bits);
    for (int i = 0; i < width * height; ++i, pixel += 4) {
      const int b = pixel[0], g = pixel[1], rr = pixel[2];
      if (rr > 150 && g < 90 && b < 90) ++red;
    }
    ::SelectObject(memory, old);
  }
  if (bitmap) ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return red;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  Search search;
  for (int i = 0; i < seconds * 10 && !search.box; ++i) {
    ::EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (!search.box) ::Sleep(100);
  }
  if (!search.box) {
    std::printf("no message box\n");
    return 1;
  }
  const HWND box = search.box;

  // The message text is the static control with id 0xFFFF.
  wchar_t text[512] = {};
  ::GetDlgItemTextW(box, 0xFFFF, text, 512);

  wchar_t owner_class[64] = {};
  const HWND owner = ::GetWindow(box, GW_OWNER);
  if (owner) ::GetClassNameW(owner, owner_class, 64);

  // The icon control (a Static of the icon type; its id differs between
  // Windows and wine) holds the system's error icon.
  HWND icon_control = nullptr;
  ::EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&icon_control));
  const HICON shown = icon_control
                          ? reinterpret_cast<HICON>(::SendMessageW(icon_control, STM_GETICON, 0, 0))
                          : nullptr;
  // The box may be found before it is first painted: give it a moment.
  int red = RedPixels(icon_control);
  for (int i = 0; i < 50 && red < 150; ++i) {
    ::Sleep(100);
    red = RedPixels(icon_control);
  }

  int buttons = 0;
  ::EnumChildWindows(box, CountButtons, reinterpret_cast<LPARAM>(&buttons));
  const bool has_ok = ::GetDlgItem(box, IDOK) != nullptr;

  std::printf("text=%s\n", Utf8(text).c_str());
  std::printf("owner=%s\n", Utf8(owner_class).c_str());
  std::printf("icon=%d\n", shown ? 1 : 0);
  std::printf("red_pixels=%d\n", red);
  std::printf("buttons=%d ok=%d\n", buttons, has_ok ? 1 : 0);
  std::fflush(stdout);

  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
  return 0;
}
