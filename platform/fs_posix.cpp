#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/fs.h"

namespace solvane {

std::filesystem::path ToFsPath(const std::string& narrow) { return std::filesystem::path(narrow); }

UniqueFile OpenFile(const std::string& path, const char* mode) {
  UniqueFile file(std::fopen(path.c_str(), mode));
  // fopen(dir, "r") succeeds here (every read then fails); on Windows a
  // directory cannot be opened as a file at all. Keep the two the same.
  struct stat st;
  if (file && ::fstat(::fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
    file.reset();
    errno = EISDIR;
  }
  return file;
}

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

}  // namespace solvane
