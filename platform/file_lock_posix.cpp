#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/file_lock.h"

namespace solvane {

struct FileLock {
  int fd = -1;
};

void FileLockDeleter::operator()(FileLock* lock) const noexcept {
  // Closing the descriptor releases the flock.
  if (lock->fd >= 0) ::close(lock->fd);
  delete lock;
}

FileLockHandle AcquireFileLock(const std::string& path, int wait_milliseconds) {
  // O_CLOEXEC: a launched installer must not inherit, and so keep, the lock.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  FileLockHandle lock(new FileLock{fd});

  constexpr auto kPause = std::chrono::milliseconds(20);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_milliseconds);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
    if (errno != EWOULDBLOCK && errno != EINTR) return nullptr;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(kPause);
  }
}

}  // namespace solvane
