// Starting a downloaded installer the way the desktop opens a file.
#pragma once

#include <string>

namespace solvane {

// Starts the file at `path` with no arguments and does not wait for it.
// Returns true only when the OS really started it.
bool OpenWithShell(const std::string& path);

}  // namespace solvane
