// A stand-in installer for the tests under wine: started by the shell, it
// writes "<its own path>.ran" holding its command line (UTF-8), so a test can
// see that it ran, which file it was, and that it got no arguments.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t self[MAX_PATH * 4] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return 2;

  const std::wstring marker = std::wstring(self) + L".ran";
  const wchar_t* line = ::GetCommandLineW();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  std::string text(size > 0 ? static_cast<std::size_t>(size - 1) : 0, '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), size, nullptr, nullptr);
  text += "\r\n";

  // Written to a temporary name and renamed, so a watcher never reads half.
  const std::wstring partial = marker + L".part";
  const HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  if (!ok || written != text.size()) return 4;
  return ::MoveFileExW(partial.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 5;
}
