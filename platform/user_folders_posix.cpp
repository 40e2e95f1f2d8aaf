#include <cstdlib>

#include "platform/user_folders.h"

namespace solvane {

// The XDG base-directory rules: $XDG_DATA_HOME when it is an absolute path,
// else $HOME/.local/share. A relative HOME would put the data wherever the
// program happens to be started, so it counts as none.
std::optional<std::string> UserDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg);
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.local/share";
  return std::nullopt;
}

const char* NoUserDataFolderReason() {
  return "neither HOME nor XDG_DATA_HOME is set to an absolute path";
}

}  // namespace solvane
