// An exclusive lock between processes, held on a file. The OS drops it when
// the process ends, however it ends.
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

// Takes the lock on the file at `path` (created when missing), retrying for
// up to `wait_milliseconds` while another process holds it. Null when the
// lock is still held elsewhere then, or the file cannot be opened. The
// handle is never inherited by programs this process starts.
[[nodiscard]] FileLockHandle AcquireFileLock(const std::string& path, int wait_milliseconds);

}  // namespace solvane
