#include <cstdlib>

#include "platform/user_folders.h"

namespace solvane {

// The XDG base-directory rules: $XDG_DATA_HOME when it is an absolute path,
// else $HOME/.local/share.
std::optional<std::string> UserDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg);
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return std::string(home) + "/.local/share";
  return std::nullopt;
}

}  // namespace solvane
