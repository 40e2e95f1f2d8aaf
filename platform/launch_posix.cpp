#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/launch.h"

extern char** environ;

namespace solvane {
namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

enum class Kind { kExecutable, kDocument, kUnreadable };

// ELF binaries and '#!' scripts are programs; anything else is a document
// that the desktop's opener decides about.
Kind Classify(int fd) {
  char head[4] = {};
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n < 0) return Kind::kUnreadable;
  if (n >= 4 && std::memcmp(head,
                            "\x7f"
                            "ELF",
                            4) == 0)
    return Kind::kExecutable;
  if (n >= 2 && head[0] == '#' && head[1] == '!') return Kind::kExecutable;
  return Kind::kDocument;
}

// Runs in the grandchild: detach from our session and streams, then exec.
// Only async-signal-safe calls from here on.
[[noreturn]] void ExecDetached(int report_fd, int program_fd, const char* opener,
                               const char* document) {
  ::setsid();
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    if (null_fd > 2) ::close(null_fd);
  }
  if (program_fd >= 0) {
    // Exec through the open descriptor: a script's interpreter then reads it
    // as /dev/fd/N, so deleting the file after the launch cannot pull it away.
    char* const argv[] = {const_cast<char*>(document), nullptr};
    ::fexecve(program_fd, argv, environ);
  } else {
    char* const argv[] = {const_cast<char*>(opener), const_cast<char*>(document), nullptr};
    ::execvp(opener, argv);
  }
  const int err = errno;
  (void)!::write(report_fd, &err, sizeof err);
  ::_exit(127);
}

}  // namespace

bool OpenWithShell(const std::string& path) {
  Fd program(::open(path.c_str(), O_RDONLY));  // no O_CLOEXEC: the exec uses it
  if (program.fd < 0) return false;
  const Kind kind = Classify(program.fd);
  if (kind == Kind::kUnreadable) return false;

  if (kind == Kind::kExecutable) {
    struct stat st;
    if (::fstat(program.fd, &st) != 0) return false;
    if (!(st.st_mode & S_IXUSR) && ::fchmod(program.fd, st.st_mode | S_IXUSR) != 0) return false;
  }

  // The write end closes on a successful exec, so EOF without data means the
  // program is running.
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  Fd report_read(pipe_fds[0]);
  Fd report_write(pipe_fds[1]);

  const int exec_fd = kind == Kind::kExecutable ? program.fd : -1;
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // Fork again so the installer is not our child and never becomes a zombie.
    const pid_t grandchild = ::fork();
    if (grandchild < 0) {
      const int err = errno;
      (void)!::write(report_write.fd, &err, sizeof err);
      ::_exit(127);
    }
    if (grandchild == 0) ExecDetached(report_write.fd, exec_fd, "xdg-open", path.c_str());
    ::_exit(0);
  }

  ::close(report_write.fd);
  report_write.fd = -1;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  int err = 0;
  ssize_t n;
  do {
    n = ::read(report_read.fd, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

}  // namespace solvane
