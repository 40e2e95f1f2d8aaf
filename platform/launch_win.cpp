#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <shellapi.h>

#include <cstdint>
#include <filesystem>

#include "platform/fs.h"
#include "platform/launch.h"

namespace solvane {

struct HeldFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

void HeldFileDeleter::operator()(HeldFile* file) const noexcept {
  if (file->handle != INVALID_HANDLE_VALUE) ::CloseHandle(file->handle);
  delete file;
}

HeldFileHandle HoldFile(const std::string& path) {
  std::wstring wide;
  try {
    wide = ToFsPath(path).wstring();
  } catch (const std::filesystem::filesystem_error&) {
    return nullptr;
  }
  // Sharing only reading: while this handle is open nobody can open the file
  // to write it, nor rename or delete it, yet the shell can still read and
  // start it. A link or junction is opened as itself and refused below.
  const HANDLE handle =
      ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  HeldFileHandle file(new HeldFile{handle});
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      ::GetFileType(handle) != FILE_TYPE_DISK) {
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
bool LaunchHeldFile(HeldFile&, const std::string& path) {
  const HINSTANCE result =
      ::ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<std::intptr_t>(result) > 32;
}

}  // namespace solvane
