#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/fs.h"

namespace solvane {

std::filesystem::path ToFsPath(const std::string& narrow) { return std::filesystem::path(narrow); }

namespace {

// open(2) flags for an fopen mode ("r", "w", "a", each with "+", "b", "x", "e").
int OpenFlags(const char* mode) {
  int flags = 0;
  switch (mode[0]) {
    case 'r':
      flags = 0;
      break;
    case 'w':
      flags = O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags = O_CREAT | O_APPEND;
      break;
    default:
      return -1;
  }
  const bool update = std::strchr(mode, '+') != nullptr;
  if (std::strchr(mode, 'x')) flags |= O_EXCL;
  if (update) return flags | O_RDWR;
  return flags | (mode[0] == 'r' ? O_RDONLY : O_WRONLY);
}

// OpenFile, and for `own_file` OpenOwnFile: the truncation of "w" waits
// until the file is known to be no link.
UniqueFile Open(const std::string& path, const char* mode, bool own_file) {
  int flags = OpenFlags(mode);
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (own_file) flags = (flags & ~O_TRUNC) | O_NOFOLLOW;
  // O_NONBLOCK: opening a FIFO would otherwise wait for its other end.
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // Only plain files are the program's files. fopen(dir, "r") would succeed
  // here (every read then fails) while Windows refuses it; a FIFO or a device
  // would block or never end.
  struct stat st = {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (own_file && st.st_nlink != 1)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? EMLINK : ENXIO;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  if (own_file && mode[0] == 'w' && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  const int status = ::fcntl(fd, F_GETFL);
  if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  UniqueFile file(::fdopen(fd, mode));
  if (!file) ::close(fd);
  return file;
}

}  // namespace

UniqueFile OpenFile(const std::string& path, const char* mode) { return Open(path, mode, false); }

UniqueFile OpenOwnFile(const std::string& path, const char* mode) { return Open(path, mode, true); }

bool FlushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  return ::fsync(::fileno(file)) == 0;
}

namespace {

// After a rename the directory entry itself must reach the disk, or a power
// cut can bring back the old name.
void SyncParentDirectory(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool RenameOver(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return false;
  SyncParentDirectory(to);
  return true;
}

bool CanReplace(const std::string& path) {
  if (::access(path.c_str(), W_OK) == 0) return true;
  return errno == ENOENT;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool RemovePath(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return true;
  return errno == ENOENT;
}

// No other program's open file stops a rename or an unlink here.
PatientResult RenameOverPatiently(const std::string& from, const std::string& to) {
  return {RenameOver(from, to), false};
}

PatientResult RemovePathPatiently(const std::string& path) { return {RemovePath(path), false}; }

std::optional<std::int64_t> FreeDiskBytes(const std::string& path) {
  struct statvfs fs;
  if (::statvfs(path.c_str(), &fs) != 0) return std::nullopt;
  // f_bavail: the blocks an unprivileged user may take, not the root reserve.
  const auto bytes = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  return bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX
                                                            : static_cast<std::int64_t>(bytes);
}

}  // namespace solvane
