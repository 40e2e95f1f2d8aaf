#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
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

namespace {

LockAttempt Failed(int error) {
  LockAttempt attempt;
  attempt.error = std::strerror(error);
  return attempt;
}

// flock on `fd`, retrying until the deadline while another process holds it.
LockAttempt Lock(int fd, int wait_milliseconds) {
  FileLockHandle lock(new FileLock{fd});
  constexpr auto kPause = std::chrono::milliseconds(20);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_milliseconds);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {std::move(lock), false, {}};
    if (errno != EWOULDBLOCK && errno != EINTR) return Failed(errno);
    if (std::chrono::steady_clock::now() >= deadline) return {nullptr, true, {}};
    std::this_thread::sleep_for(kPause);
  }
}

}  // namespace

LockAttempt LockFolder(const std::string& path, const std::string&, int wait_milliseconds) {
  // The folder itself, not a file in it: a directory in use cannot be
  // deleted out from under the lock the way a lock file can. O_CLOEXEC: a
  // launched installer must not inherit, and so keep, the lock.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Failed(errno);
  return Lock(fd, wait_milliseconds);
}

LockAttempt LockFile(const std::string& path) {
  // Twice at most: a link found at the name is removed and the name opened
  // again; one found there a second time is someone racing us.
  for (int pass = 0; pass < 2; ++pass) {
    const int fd = ::open(path.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0 && errno != ELOOP) return Failed(errno);
    struct stat st = {};
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
      const int error = errno;
      ::close(fd);
      return Failed(error);
    }
    if (fd >= 0 && !S_ISREG(st.st_mode)) {
      ::close(fd);
      return Failed(ENXIO);
    }
    if (fd >= 0 && st.st_nlink == 1) return Lock(fd, 0);
    // A symbolic link (ELOOP) or a hard link to some other name: writing here
    // would write there. The name goes; the file it shares stays untouched.
    if (fd >= 0) ::close(fd);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Failed(errno);
  }
  return Failed(EMLINK);
}

}  // namespace solvane
