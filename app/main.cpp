// Entry point: collects the arguments as UTF-8 and hands them to RunProgram
// with this build's release identity.
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/link_cost.h"
#include "platform/machine_policy.h"
#include "release_keys.h"

namespace {

// The link's cost as the system says, but for a test build made to find
// every link metered.
#ifdef SOLVANE_TEST_LINK_METERED
solvane::LinkCost LinkCostForBuild() { return solvane::LinkCost::kMetered; }
#else
solvane::LinkCost LinkCostForBuild() { return solvane::QueryLinkCost(); }
#endif

}  // namespace

#ifdef _WIN32
#include <windows.h>

#include "platform/command_line_win.h"
#include "platform/machine_policy_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const solvane::ReleaseSource source{SOLVANE_RELEASE_BASE_URL,    SOLVANE_PLATFORM_KEY,
                                      SOLVANE_RELEASE_PUBLIC_KEYS, SOLVANE_CHECK_SPREAD_SECONDS,
                                      SOLVANE_ROOT_PUBLIC_KEYS,    SOLVANE_ROOT_THRESHOLD,
                                      SOLVANE_PUBLISHER_NAMES,     SOLVANE_PUBLISHER_PINS};
  return solvane::RunProgram(solvane::CommandLineArguments(), source,
                             {solvane::ReadRegistryPolicy(), LinkCostForBuild});
}

#else

// The policy file: the administrator's, but for a test build that names one
// of its own.
#ifndef SOLVANE_POLICY_FILE
#define SOLVANE_POLICY_FILE solvane::kPolicyFile
#endif

int main(int argc, char** argv) {
  const solvane::ReleaseSource source{SOLVANE_RELEASE_BASE_URL,    SOLVANE_PLATFORM_KEY,
                                      SOLVANE_RELEASE_PUBLIC_KEYS, SOLVANE_CHECK_SPREAD_SECONDS,
                                      SOLVANE_ROOT_PUBLIC_KEYS,    SOLVANE_ROOT_THRESHOLD,
                                      SOLVANE_PUBLISHER_NAMES,     SOLVANE_PUBLISHER_PINS};
  return solvane::RunProgram(std::vector<std::string>(argv, argv + argc), source,
                             {solvane::ReadPolicyFile(SOLVANE_POLICY_FILE), LinkCostForBuild});
}

#endif
