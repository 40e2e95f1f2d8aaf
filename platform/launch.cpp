// What launching shares on every OS; holding and starting a file are in
// launch_posix.cpp and launch_win.cpp.
#include "platform/launch.h"

namespace solvane {

bool OpenWithShell(const std::string& path, std::string* error) {
  const HeldFileHandle file = HoldFile(path, error);
  return file && LaunchHeldFile(*file, path, error);
}

}  // namespace solvane
