// Choosing the workflow from the command line.
#pragma once

#include <string>
#include <vector>

namespace solvane {

enum class Workflow { kInstall, kCheck, kApply };

struct Command {
  Workflow workflow = Workflow::kInstall;
  std::string current_version;   // for kCheck
  bool force = false;            // for kCheck
  std::string channel;           // for kCheck: a valid `--channel` name, else ""
  bool channel_refused = false;  // for kCheck: `--channel` without a valid name
};

// The workflow for an argument list whose element 0 is the program path.
// Comparisons are exact and case-sensitive; anything unknown installs.
Command ParseCommandLine(const std::vector<std::string>& args);

}  // namespace solvane
