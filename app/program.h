// Start-up after the entry point has its arguments: the data directory, the
// dispatch and the exit code.
#pragma once

#include <string>
#include <vector>

#include "app/release_source.h"

namespace solvane {

// Runs the workflow the arguments select (element 0 is the program path) and
// returns the exit code. A data folder that cannot be created is reported on
// standard error and gives 1.
int RunProgram(const std::vector<std::string>& args, const ReleaseSource& source);

}  // namespace solvane
