#include <io.h>
#include <windows.h>

#include <cstdio>
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

}  // namespace solvane
