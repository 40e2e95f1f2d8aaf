#include "app/workflows.h"
#include "log/activity_log.h"
#include "net/verify.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "platform/launch.h"
#include "state/records.h"
#include "state/state_file.h"

namespace solvane {

int RunApply() {
  std::string state_problem;
  Json state = LoadState(&state_problem);
  if (!state_problem.empty()) LogMessage("apply: %s", state_problem.c_str());
  const std::optional<StagedRecord> staged = ReadStaged(state);
  if (!staged || staged->installer.empty()) return 1;

  const std::optional<std::string> installer = Utf8ToPath(staged->installer);
  if (!installer || !PathExists(*installer)) return 1;

  // The file sat in a user-writable folder since it was verified; anything
  // running as the user could have swapped it, so check it once more.
  if (!staged->sha256.empty() && !VerifySha256(*installer, staged->sha256)) return 1;

  if (!OpenWithShell(*installer)) return 1;

  // The installer may still hold its file open; then it simply stays.
  RemovePath(*installer);

  state.erase("staged");
  if (!staged->version.empty()) {
    state["release_notes"] = ReleaseNotesJson(staged->version, staged->notes);
  }
  // The launch happened, but a record we could not consume is not a success.
  return SaveState(state) ? 0 : 1;
}

}  // namespace solvane
