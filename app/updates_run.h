// What one run of the program shares: the updates folder, its lock and the
// state document, made once by the entry and handed to the workflow.
#pragma once

#include <functional>
#include <string>

#include "app/machine_policy.h"
#include "platform/file_lock.h"
#include "platform/link_cost.h"
#include "state/state_file.h"

namespace solvane {

struct UpdatesRun {
  std::string folder;           // the updates folder, narrow path, no trailing '/'
  LockAttempt lock;             // the folder's lock while this run holds it
  Json state = Json::object();  // Updates.json as this run last read or wrote it
  // The workflow's word that begins its log lines ("check"), for what the
  // run's own steps log.
  std::string log_word;
  // The administrator's policies, as the entry point read them.
  MachinePolicy policy;
  // What the link costs, asked before a large download; nullptr: unknown.
  LinkCost (*link_cost)() = nullptr;
};

// Creates the updates folder and points the log into it, so that no later
// step can fail on a missing folder. Throws std::filesystem::filesystem_error
// as UpdatesDirectory does.
[[nodiscard]] UpdatesRun OpenUpdatesRun();

// Takes the folder's lock, waiting a few seconds for another SolvaneSetup,
// and reads the state file into `run.state` with the trust floor restored
// (state/trust_floor.h): the state is read once per hold, because only the
// holder may change it. False without the lock (LockProblem(run.lock) says
// why). Why an unusable state file was read as empty goes to
// `state_problem` when given, else to the log under the run's word.
[[nodiscard]] bool TakeFolder(UpdatesRun& run, std::string* state_problem = nullptr);

// Lets the lock go, so that a long transfer holds up no other run.
// `run.state` may be stale from here until the next TakeFolder.
void LetGoFolder(UpdatesRun& run);

// Writes `run.state` to the state file, for a step that must outlive the
// process, and raises the kept trust floor to it. False when the state file
// could not be written; it is unchanged then.
[[nodiscard]] bool SaveRun(const UpdatesRun& run);

// The same for a changed copy of the run's state.
[[nodiscard]] bool SaveRunState(const Json& state);

// Why `attempt` holds no lock, for the log: "another SolvaneSetup is busy",
// or "cannot lock the updates folder: <the system's text>".
[[nodiscard]] std::string LockProblem(const LockAttempt& attempt);

// For a run that let the folder go: takes it for a moment, applies `change`
// to the state as it stands on disk and saves it. False when the lock or the
// save failed; nothing is written then. `run.state` is not touched.
bool ChangeStateBriefly(const UpdatesRun& run, const std::function<void(Json&)>& change);

}  // namespace solvane
