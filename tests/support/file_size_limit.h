#pragma once

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

namespace solvane::testing {

// Lowers this process's soft RLIMIT_FSIZE for its lifetime, so that write()
// past the limit fails with EFBIG (SIGXFSZ ignored) instead of killing the
// process. CTest runs each test in its own process, so nothing else sees
// the limit; a forked child would do the same but may inherit a lock held by
// another thread (a loopback server's, the sanitizer's allocator's) forever.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    previous_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    if (::getrlimit(RLIMIT_FSIZE, &before_) != 0 || limit > before_.rlim_max) return;
    const rlimit lowered{limit, before_.rlim_max};
    active_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    if (active_) ::setrlimit(RLIMIT_FSIZE, &before_);
    ::signal(SIGXFSZ, previous_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool active() const { return active_; }

 private:
  rlimit before_{};
  bool active_ = false;
  void (*previous_handler_)(int) = SIG_DFL;
};

}  // namespace solvane::testing
#endif
