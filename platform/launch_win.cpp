#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <shellapi.h>

#include <cstdint>
#include <filesystem>

#include "platform/encoding_win.h"
#include "platform/fs.h"
#include "platform/held_file_win.h"
#include "platform/launch.h"

namespace solvane {

void HeldFileDeleter::operator()(HeldFile* file) const noexcept {
  if (file->handle != INVALID_HANDLE_VALUE) ::CloseHandle(file->handle);
  delete file;
}

namespace {

struct LocalFreer {
  void operator()(wchar_t* text) const noexcept { ::LocalFree(text); }
};

// The system's own sentence for a Windows error code, without its line end.
std::string SystemErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const std::unique_ptr<wchar_t, LocalFreer> owned(buffer);
  std::string text = length > 0 ? Utf8FromWide(buffer) : std::string();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "system error " + std::to_string(code) : text;
}

}  // namespace

HeldFileHandle HoldFile(const std::string& path, std::string* error) {
  std::wstring wide;
  try {
    wide = ToFsPath(path).wstring();
  } catch (const std::filesystem::filesystem_error& e) {
    if (error) *error = e.code().message();
    return nullptr;
  }
  // Sharing only reading: while this handle is open nobody can open the file
  // to write it, nor rename or delete it, yet the shell can still read and
  // start it. A link or junction is opened as itself and refused below.
  const HANDLE handle =
      ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error) *error = SystemErrorText(::GetLastError());
    return nullptr;
  }
  HeldFileHandle file(new HeldFile{handle});
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      ::GetFileType(handle) != FILE_TYPE_DISK) {
    if (error) *error = "not a regular file";
    return nullptr;
  }
  return file;
}

long long ReadHeldFile(HeldFile& file, void* buffer, std::size_t size) {
  const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD read = 0;
  if (!::ReadFile(file.handle, buffer, chunk, &read, nullptr)) return -1;
  return read;
}

// The shell's "open" verb, as a double click in Explorer would start the
// file. ShellExecuteA reports success as a value above 32. The held handle
// stays open until the caller releases it, after this has returned.
bool LaunchHeldFile(HeldFile&, const std::string& path, std::string* error) {
  ::SetLastError(ERROR_SUCCESS);
  const HINSTANCE result =
      ::ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  const std::intptr_t code = reinterpret_cast<std::intptr_t>(result);
  if (code > 32) return true;
  if (error) {
    // ShellExecute's own small codes are system error codes where it has them
    // (2 file not found, 5 access denied); its last error says more when set.
    const DWORD last = ::GetLastError();
    *error = SystemErrorText(last != ERROR_SUCCESS ? last : static_cast<DWORD>(code));
  }
  return false;
}

}  // namespace solvane
