#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/terminal.h"

namespace solvane {
namespace {

// Closes the terminal and puts its echo back on every path.
struct Terminal {
  int fd = -1;
  bool restore = false;
  termios saved{};
  ~Terminal() {
    if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt) {
  Terminal tty;
  tty.fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty.fd < 0 || tcgetattr(tty.fd, &tty.saved) != 0) return std::nullopt;
  termios quiet = tty.saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (tcsetattr(tty.fd, TCSAFLUSH, &quiet) != 0) return std::nullopt;
  tty.restore = true;
  if (write(tty.fd, prompt.data(), prompt.size()) < 0) return std::nullopt;

  std::string line;
  char c = 0;
  ssize_t n = 0;
  // A password longer than this is a pasted file, not a password.
  while ((n = read(tty.fd, &c, 1)) == 1 && c != '\n' && line.size() < 4096) line += c;
  if (write(tty.fd, "\n", 1) < 0) {
    // The newline is cosmetic; the password was read.
  }
  if (n < 0 || (n == 0 && line.empty())) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace solvane
