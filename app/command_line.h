// Choosing the workflow from the command line.
#pragma once

#include <string>
#include <vector>

namespace solvane {

enum class Workflow { kInstall, kCheck, kApply };

// What `--check` was asked to do.
struct CheckRequest {
  std::string current_version;   // the version the caller says is installed
  bool force = false;            // check even within the daily interval
  std::string channel;           // a valid `--channel` name, else ""
  bool channel_refused = false;  // `--channel` without a valid name
};

struct Command {
  Workflow workflow = Workflow::kInstall;
  CheckRequest check;  // for kCheck
};

// The workflow for an argument list whose element 0 is the program path.
// Comparisons are exact and case-sensitive; anything unknown installs.
Command ParseCommandLine(const std::vector<std::string>& args);

}  // namespace solvane
