#include <windows.h>

#include <chrono>
#include <string>

#include "platform/file_lock.h"
#include "platform/fs.h"

namespace solvane {

struct FileLock {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

void FileLockDeleter::operator()(FileLock* lock) const noexcept {
  // Closing the handle releases the byte-range lock.
  if (lock->handle != INVALID_HANDLE_VALUE) ::CloseHandle(lock->handle);
  delete lock;
}

namespace {

LockAttempt Failed(DWORD error) {
  LockAttempt attempt;
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length > 0 && text) {
    attempt.error.assign(text, length);
    while (!attempt.error.empty() &&
           (attempt.error.back() == '\n' || attempt.error.back() == '\r' ||
            attempt.error.back() == ' ' || attempt.error.back() == '.')) {
      attempt.error.pop_back();
    }
  }
  if (text) ::LocalFree(text);
  if (attempt.error.empty()) attempt.error = "error " + std::to_string(error);
  return attempt;
}

std::wstring WidePath(const std::string& path) {
  try {
    return ToFsPath(path).wstring();
  } catch (const std::filesystem::filesystem_error&) {
    return std::wstring();
  }
}

// Locks the byte range at `offset` of `length` bytes on `handle`, retrying
// until the deadline while another process holds it.
LockAttempt Lock(HANDLE handle, ULONGLONG offset, DWORD length, int wait_milliseconds) {
  FileLockHandle lock(new FileLock{handle});
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_milliseconds);
  for (;;) {
    OVERLAPPED range = {};
    range.Offset = static_cast<DWORD>(offset);
    range.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, length, 0,
                     &range)) {
      return {std::move(lock), false, {}};
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_LOCK_VIOLATION) return Failed(error);
    if (std::chrono::steady_clock::now() >= deadline) return {nullptr, true, {}};
    ::Sleep(20);
  }
}

}  // namespace

LockAttempt LockFolder(const std::string& path, const std::string& lock_file_name,
                       int wait_milliseconds) {
  const std::wstring wide = WidePath(path + lock_file_name);
  if (wide.empty()) return Failed(ERROR_INVALID_NAME);
  // Without FILE_SHARE_DELETE: while any run holds the lock file open, nobody
  // can delete or rename it, so a second run always meets the same file.
  // The byte range below is the lock; the shared reading and writing let a
  // second run open the file and wait for the range. The default security
  // attributes make the handle non-inheritable.
  const HANDLE handle =
      ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Failed(::GetLastError());
  return Lock(handle, 0, MAXDWORD, wait_milliseconds);
}

LockAttempt LockFile(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return Failed(ERROR_INVALID_NAME);
  for (int pass = 0; pass < 2; ++pass) {
    // Shared every way, delete included: the download writes the file
    // through its own handle and finally renames it.
    const HANDLE handle =
        ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed(::GetLastError());
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(handle, &info)) {
      const DWORD error = ::GetLastError();
      ::CloseHandle(handle);
      return Failed(error);
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ::CloseHandle(handle);
      return Failed(ERROR_DIRECTORY);
    }
    // A single byte far beyond any real file: a lock on the bytes the
    // download writes would stop its own writes through another handle.
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && info.nNumberOfLinks == 1) {
      return Lock(handle, 0x7FFFFFFFFFFFFFFEull, 1, 0);
    }
    // A reparse point or a hard link to some other name: writing here would
    // write there. The name goes; what it points at stays untouched.
    ::CloseHandle(handle);
    if (!::DeleteFileW(wide.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
      return Failed(::GetLastError());
    }
  }
  return Failed(ERROR_TOO_MANY_LINKS);
}

}  // namespace solvane
