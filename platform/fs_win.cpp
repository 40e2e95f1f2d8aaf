#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/encoding_win.h"
#include "platform/fs.h"

namespace solvane {
namespace {

// The code page the file APIs use for 8-bit names: the ANSI code page unless
// the process switched them to OEM.
UINT FileSystemCodePage() { return ::AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

// ToFsPath for the calls that want a plain wide string; empty when the text
// cannot be converted, which no real file has as its name.
std::wstring WidePath(const std::string& narrow) {
  try {
    return ToFsPath(narrow).wstring();
  } catch (const std::filesystem::filesystem_error&) {
    return std::wstring();
  }
}

bool IsAbsent(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// How long a file another program holds is waited for, and between tries.
constexpr ULONGLONG kPatienceMilliseconds = 5000;
constexpr DWORD kRetryPauseMilliseconds = 100;

// Runs `attempt` (true when done) again while it fails because another
// program holds the file, for up to kPatienceMilliseconds.
template <typename Attempt>
PatientResult Patiently(const Attempt& attempt) {
  const ULONGLONG start = ::GetTickCount64();
  PatientResult result;
  while (!(result.ok = attempt())) {
    const DWORD error = ::GetLastError();
    const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                      error == ERROR_LOCK_VIOLATION;
    if (!held || ::GetTickCount64() - start >= kPatienceMilliseconds) break;
    result.waited = true;
    ::Sleep(kRetryPauseMilliseconds);
  }
  return result;
}

}  // namespace

std::filesystem::path ToFsPath(const std::string& narrow) {
  std::optional<std::wstring> wide = WideFromCodePage(narrow, FileSystemCodePage());
  if (!wide) {
    throw std::filesystem::filesystem_error(
        "MultiByteToWideChar", std::filesystem::path(),
        std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
  }
  return std::filesystem::path(std::move(*wide));
}

UniqueFile OpenFile(const std::string& path, const char* mode) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return nullptr;
  std::wstring wide_mode;
  for (const char* c = mode; *c; ++c) wide_mode += static_cast<wchar_t>(*c);
  return UniqueFile(::_wfopen(wide.c_str(), wide_mode.c_str()));
}

UniqueFile OpenOwnFile(const std::string& path, const char* mode) {
  const std::wstring wide = WidePath(path);
  if (wide.empty() || (mode[0] != 'w' && mode[0] != 'r')) return nullptr;
  const bool update = std::strchr(mode, '+') != nullptr;
  const bool writes = mode[0] == 'w' || update;
  const DWORD access = (mode[0] == 'r' || update ? GENERIC_READ : 0) | (writes ? GENERIC_WRITE : 0);
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, so that it can be
  // refused below instead of followed. The sharing is _wfopen's.
  const HANDLE handle =
      ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    mode[0] == 'w' ? OPEN_ALWAYS : OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool plain =
      ::GetFileInformationByHandle(handle, &info) &&
      !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
      info.nNumberOfLinks == 1;
  // Truncated only now that it is known to be our own file.
  if (!plain || (mode[0] == 'w' && !::SetEndOfFile(handle))) {
    ::CloseHandle(handle);
    return nullptr;
  }
  const int fd =
      ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | (update   ? _O_RDWR
                                                                         : writes ? _O_WRONLY
                                                                                  : _O_RDONLY));
  if (fd < 0) {
    ::CloseHandle(handle);
    return nullptr;
  }
  UniqueFile file(::_fdopen(fd, mode));
  if (!file) ::_close(fd);
  return file;
}

bool FlushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  // _commit is the CRT's FlushFileBuffers on the stream's handle.
  return ::_commit(::_fileno(file)) == 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
  const std::wstring wide_from = WidePath(from);
  const std::wstring wide_to = WidePath(to);
  if (wide_from.empty() || wide_to.empty()) return false;
  return ::MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool CanReplace(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return IsAbsent(::GetLastError());
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return false;
  // The read-only attribute is not the only refusal: the file's access list
  // may deny us writing. A file that another program holds open is still
  // ours to replace.
  const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ::GetLastError() != ERROR_ACCESS_DENIED;
  ::CloseHandle(handle);
  return true;
}

bool PathExists(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::path(wide), ec) && !ec;
}

bool RemovePath(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  if (::DeleteFileW(wide.c_str())) return true;
  return IsAbsent(::GetLastError());
}

PatientResult RenameOverPatiently(const std::string& from, const std::string& to) {
  const std::wstring wide_from = WidePath(from);
  const std::wstring wide_to = WidePath(to);
  if (wide_from.empty() || wide_to.empty()) return {};
  return Patiently([&] {
    return ::MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  });
}

PatientResult RemovePathPatiently(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return {};
  return Patiently([&] { return ::DeleteFileW(wide.c_str()) != 0 || IsAbsent(::GetLastError()); });
}

std::optional<std::int64_t> FreeDiskBytes(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return std::nullopt;
  ULARGE_INTEGER available;  // to this user, after any quota
  if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart > static_cast<ULONGLONG>(INT64_MAX)
             ? INT64_MAX
             : static_cast<std::int64_t>(available.QuadPart);
}

}  // namespace solvane
