#include "app/program.h"

#include <cstdio>
#include <exception>
#include <filesystem>

#include "app/command_line.h"
#include "app/machine_policy.h"
#include "app/updates_run.h"
#include "app/workflows.h"
#include "log/activity_log.h"
#include "platform/process.h"
#include "platform/user_folders.h"
#include "state/paths.h"

namespace solvane {
namespace {

// The vendor's and product's folders below the per-user data folder.
constexpr const char kVendorFolder[] = "/Korrinwade/Solvane";

int Dispatch(const std::vector<std::string>& args, UpdatesRun& run, const ReleaseSource& source) {
  const Command command = ParseCommandLine(args);
  for (const std::string& refused : run.policy.refused) LogMessage("policy: %s", refused.c_str());
  switch (command.workflow) {
    case Workflow::kCheck:
      run.log_word = "check";
      return RunCheck(run, source, command.check);
    case Workflow::kApply:
      run.log_word = "apply";
      LogMessage("apply: launching staged installer");
      return RunApply(run, source);
    case Workflow::kInstall:
      break;
  }
  run.log_word = "install";
  LogMessage("install: fresh install started");
  return RunInstall(run, source);
}

}  // namespace

int RunProgram(const std::vector<std::string>& args, const ReleaseSource& source,
               const MachineInputs& machine) {
  PrepareProcess();
  try {
    // Without a per-user folder the data would land relative to wherever the
    // program was started: refuse, like a folder that cannot be created.
    const std::optional<std::string> folder = UserDataFolder();
    if (!folder) {
      std::fprintf(stderr, "SolvaneSetup: no per-user data folder: %s\n", NoUserDataFolderReason());
      return 1;
    }
    SetDataDirectory(*folder + kVendorFolder);
    CreateDirectoryChain(DataDirectory());
    // Opened here, once, so that a folder that cannot be made is refused
    // before any workflow starts and no log line can fail on it later.
    UpdatesRun run = OpenUpdatesRun();
    run.policy = ReadMachinePolicy(machine.policy);
    run.link_cost = machine.link_cost;
    return Dispatch(args, run, source);
  } catch (const std::filesystem::filesystem_error& error) {
    std::fprintf(stderr, "SolvaneSetup: cannot create directory %s: %s\n",
                 error.path1().string().c_str(), error.code().message().c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "SolvaneSetup: unexpected error -- %s\n", error.what());
  }
  return 1;
}

}  // namespace solvane
