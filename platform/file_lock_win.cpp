#include <windows.h>

#include <chrono>
#include <filesystem>

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

FileLockHandle AcquireFileLock(const std::string& path, int wait_milliseconds) {
  std::wstring wide;
  try {
    wide = ToFsPath(path).wstring();
  } catch (const std::filesystem::filesystem_error&) {
    return nullptr;
  }
  // Shared opening: the lock is the byte range below, not the share mode, so
  // a second process opens the file and then waits for the range. The
  // default security attributes make the handle non-inheritable.
  const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  FileLockHandle lock(new FileLock{handle});

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_milliseconds);
  for (;;) {
    OVERLAPPED whole_file = {};
    if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &whole_file)) {
      return lock;
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) return nullptr;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    ::Sleep(20);
  }
}

}  // namespace solvane
