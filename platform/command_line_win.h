// The process's command line as the program sees it on Windows.
#pragma once

#include <string>
#include <vector>

namespace solvane {

// The command line split by the shell's rules, each element as UTF-8;
// element 0 is the program path. Empty when the line cannot be split.
std::vector<std::string> CommandLineArguments();

}  // namespace solvane
