#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/launch.h"

extern char** environ;

namespace solvane {

struct HeldFile {
  int fd = -1;
  long long offset = 0;
};

void HeldFileDeleter::operator()(HeldFile* file) const noexcept {
  if (file->fd >= 0) ::close(file->fd);
  delete file;
}

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

enum class Kind { kBinary, kScript, kDocument, kUnreadable };

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
    return Kind::kBinary;
  if (n >= 2 && head[0] == '#' && head[1] == '!') return Kind::kScript;
  return Kind::kDocument;
}

// Closes every descriptor from 3 up except `keep_a` and `keep_b` (-1 for
// none), so the installer inherits only its standard streams.
void CloseOtherDescriptors(int keep_a, int keep_b) {
  if (keep_a > keep_b) std::swap(keep_a, keep_b);
  int next = 3;
  for (const int keep : {keep_a, keep_b}) {
    if (keep < next) continue;
    if (keep > next) ::close_range(static_cast<unsigned>(next), static_cast<unsigned>(keep - 1), 0);
    next = keep + 1;
  }
  ::close_range(static_cast<unsigned>(next), ~0U, 0);
}

// Runs in the grandchild: detach from our session and streams, then exec.
// Only async-signal-safe calls from here on.
[[noreturn]] void ExecDetached(int report_fd, int program_fd, Kind kind, const char* opener,
                               const char* document) {
  ::setsid();
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    if (null_fd > 2) ::close(null_fd);
  }
  // The report pipe closes itself on exec.
  CloseOtherDescriptors(report_fd, kind == Kind::kDocument ? -1 : program_fd);
  if (kind != Kind::kDocument) {
    // Exec through the descriptor whose bytes were checked. A binary runs
    // from it directly and must not inherit it; a script's interpreter reads
    // it as /dev/fd/N, so only then does it stay open across the exec.
    if (kind == Kind::kScript) ::fcntl(program_fd, F_SETFD, 0);
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

HeldFileHandle HoldFile(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return nullptr;
  }
  HeldFileHandle file(new HeldFile{fd, 0});
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    if (error) *error = std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    if (error) *error = "not a regular file";
    return nullptr;
  }
  return file;
}

long long ReadHeldFile(HeldFile& file, void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::pread(file.fd, buffer, size, static_cast<off_t>(file.offset));
  } while (n < 0 && errno == EINTR);
  if (n > 0) file.offset += n;
  return n;
}

bool LaunchHeldFile(HeldFile& file, const std::string& path, std::string* error) {
  // errno's text, with what was being done when it is not the file itself.
  const auto fail = [error](int err, const char* doing = nullptr) {
    if (error) *error = (doing ? std::string(doing) + ": " : std::string()) + std::strerror(err);
    return false;
  };
  const Kind kind = Classify(file.fd);
  if (kind == Kind::kUnreadable) return fail(errno);

  if (kind != Kind::kDocument) {
    struct stat st;
    if (::fstat(file.fd, &st) != 0) return fail(errno);
    if (!(st.st_mode & S_IXUSR) && ::fchmod(file.fd, st.st_mode | S_IXUSR) != 0) {
      return fail(errno);
    }
  }

  // The write end closes on a successful exec, so EOF without data means the
  // program is running.
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return fail(errno);
  Fd report_read(pipe_fds[0]);
  Fd report_write(pipe_fds[1]);

  const pid_t child = ::fork();
  if (child < 0) return fail(errno);
  if (child == 0) {
    // Fork again so the installer is not our child and never becomes a zombie.
    const pid_t grandchild = ::fork();
    if (grandchild < 0) {
      const int err = errno;
      (void)!::write(report_write.fd, &err, sizeof err);
      ::_exit(127);
    }
    if (grandchild == 0) ExecDetached(report_write.fd, file.fd, kind, "xdg-open", path.c_str());
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
  if (n == 0) return true;
  if (n < 0) return fail(errno);
  // A document is handed to the desktop's opener, so its failure is the opener's.
  return fail(err, kind == Kind::kDocument ? "xdg-open" : nullptr);
}

}  // namespace solvane
