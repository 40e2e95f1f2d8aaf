// Exclusive locks between processes: one on a folder, one on a file. The OS
// drops each when the process ends, however it ends.
#pragma once

#include <memory>
#include <string>

namespace solvane {

struct FileLock;
struct FileLockDeleter {
  void operator()(FileLock* lock) const noexcept;
};
// Holding one holds the lock; destroying it releases the lock.
using FileLockHandle = std::unique_ptr<FileLock, FileLockDeleter>;

// What an attempt to lock came to: the lock, or why there is none.
struct LockAttempt {
  FileLockHandle lock;  // set when the lock was taken
  bool busy = false;    // another process held it for the whole wait
  std::string error;    // not "": it could not be opened or locked; the system's text
};

// Takes the lock on the folder at `path`, retrying for up to
// `wait_milliseconds` while another process holds it. Deleting or replacing
// any file in the folder does not release it. Where a folder itself cannot be
// locked (Windows) the lock is a range of the file `lock_file_name` ("/name")
// in it, created when missing. Never inherited by programs this process
// starts.
[[nodiscard]] LockAttempt LockFolder(const std::string& path, const std::string& lock_file_name,
                                     int wait_milliseconds);

// Takes the lock on the file at `path` (created when missing) without
// waiting. A link at `path` (a symbolic link, a second hard link, a reparse
// point) is never opened: it is removed and a new file created in its place.
// The lock does not keep this process or others from reading, writing,
// renaming or deleting the file. Never inherited by programs this process
// starts.
[[nodiscard]] LockAttempt LockFile(const std::string& path);

}  // namespace solvane
