// Start-up after the entry point has its arguments: the data directory, the
// dispatch and the exit code.
#pragma once

#include <string>
#include <vector>

#include "app/release_source.h"
#include "platform/link_cost.h"
#include "platform/machine_policy.h"

namespace solvane {

// What the entry point read of the machine for the run.
struct MachineInputs {
  PolicyValues policy;  // the administrator's policy values as stored
  // Asks whether the link is metered, when a download is about to start.
  LinkCost (*link_cost)() = QueryLinkCost;
};

// Runs the workflow the arguments select (element 0 is the program path) and
// returns the exit code. A data folder that cannot be created is reported on
// standard error and gives 1. Policy values that cannot be used are logged
// once, before the workflow starts.
int RunProgram(const std::vector<std::string>& args, const ReleaseSource& source,
               const MachineInputs& machine = {});

}  // namespace solvane
