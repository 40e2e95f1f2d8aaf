#include "app/updates_run.h"

#include "constants.h"
#include "log/activity_log.h"
#include "state/paths.h"
#include "state/trust_floor.h"

namespace solvane {
namespace {

// Long enough for another run's quick work (a check against a loopback or
// LAN server, an apply), short enough that a silent run never hangs about.
constexpr int kLockWaitMilliseconds = 5000;

// The state file as it stands, with the trust floor put back into it. A
// file that had to be set aside is logged whenever in the run it happens.
Json LoadRunState(const std::string& log_word, std::string* state_problem) {
  std::string problem;
  Json state = LoadState(&problem);
  (void)RestoreTrustFloor(state, LoadTrustFloor());
  if (state_problem) {
    *state_problem = problem;
  } else if (!problem.empty()) {
    LogMessage("%s%s%s", log_word.c_str(), log_word.empty() ? "" : ": ", problem.c_str());
  }
  return state;
}

}  // namespace

UpdatesRun OpenUpdatesRun() {
  UpdatesRun run;
  run.folder = UpdatesDirectory();
  SetLogPath(run.folder + kLogFileName);
  return run;
}

bool TakeFolder(UpdatesRun& run, std::string* state_problem) {
  run.lock = LockFolder(run.folder, kLockFileName, kLockWaitMilliseconds);
  if (!run.lock.lock) return false;
  run.state = LoadRunState(run.log_word, state_problem);
  return true;
}

void LetGoFolder(UpdatesRun& run) { run.lock.lock.reset(); }

bool SaveRun(const UpdatesRun& run) { return SaveRunState(run.state); }

bool SaveRunState(const Json& state) {
  if (!SaveState(state)) return false;
  // Best effort: the state file just written holds the floor too.
  (void)KeepTrustFloor(state);
  return true;
}

std::string LockProblem(const LockAttempt& attempt) {
  if (attempt.busy) return "another SolvaneSetup is busy";
  return "cannot lock the updates folder: " + attempt.error;
}

bool ChangeStateBriefly(const UpdatesRun& run, const std::function<void(Json&)>& change) {
  const LockAttempt held = LockFolder(run.folder, kLockFileName, kLockWaitMilliseconds);
  if (!held.lock) return false;
  Json state = LoadRunState(run.log_word, nullptr);
  change(state);
  return SaveRunState(state);
}

}  // namespace solvane
