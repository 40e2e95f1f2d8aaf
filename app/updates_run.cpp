#include "app/updates_run.h"

#include "constants.h"
#include "log/activity_log.h"
#include "state/paths.h"

namespace solvane {
namespace {

// Long enough for another run's quick work (a check against a loopback or
// LAN server, an apply), short enough that a silent run never hangs about.
constexpr int kLockWaitMilliseconds = 5000;

}  // namespace

UpdatesRun OpenUpdatesRun() {
  UpdatesRun run;
  run.folder = UpdatesDirectory();
  SetLogPath(run.folder + kLogFileName);
  return run;
}

bool TakeFolder(UpdatesRun& run, std::string* state_problem) {
  run.lock = LockFolder(run.folder, kLockWaitMilliseconds);
  if (!run.lock.lock) return false;
  run.state = LoadState(state_problem);
  return true;
}

void LetGoFolder(UpdatesRun& run) { run.lock.lock.reset(); }

bool SaveRun(const UpdatesRun& run) { return SaveState(run.state); }

std::string LockProblem(const LockAttempt& attempt) {
  if (attempt.busy) return "another SolvaneSetup is busy";
  return "cannot lock the updates folder: " + attempt.error;
}

bool ChangeStateBriefly(const UpdatesRun& run, const std::function<void(Json&)>& change) {
  const LockAttempt held = LockFolder(run.folder, kLockWaitMilliseconds);
  if (!held.lock) return false;
  Json state = LoadState();
  change(state);
  return SaveState(state);
}

}  // namespace solvane
