// A stand-in ELF installer: writes the numbers of the descriptors it was
// started with, one per line, to "$HOME/installer-fds", so a test can see what
// the launch let it inherit.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  const char* home = std::getenv("HOME");
  if (!home) return 2;
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) return 3;
  std::string list;
  while (const dirent* entry = ::readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == ::dirfd(fds)) continue;  // this listing's own
    list += entry->d_name;
    list += '\n';
  }
  ::closedir(fds);
  const std::string path = std::string(home) + "/installer-fds";
  std::FILE* out = std::fopen((path + ".part").c_str(), "w");
  if (!out) return 4;
  std::fputs(list.c_str(), out);
  std::fclose(out);
  return std::rename((path + ".part").c_str(), path.c_str()) == 0 ? 0 : 5;
}
