#include "app/updates_folder.h"
#include "app/workflows.h"
#include "log/activity_log.h"
#include "net/verify.h"
#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "platform/launch.h"
#include "state/records.h"
#include "state/state_file.h"

namespace solvane {

int RunApply() {
  // Held until the record is consumed, so one staged installer starts once.
  const FileLockHandle lock = LockUpdatesFolder();
  if (!lock) return 1;
  std::string state_problem;
  Json state = LoadState(&state_problem);
  if (!state_problem.empty()) LogMessage("apply: %s", state_problem.c_str());
  const std::optional<StagedRecord> staged = ReadStaged(state);
  if (!staged || staged->installer.empty()) return 1;

  // Only a file the check itself put in the updates folder is started: the
  // state file is user-writable and could name anything.
  const std::optional<std::string> installer = Utf8ToPath(staged->installer);
  if (!installer || !IsOwnInstallerFile(*installer)) return 1;

  // The file sat in a user-writable folder since it was verified; anything
  // running as the user could have swapped it, so check it once more, through
  // the very handle that is launched, so that what runs is what was checked.
  const HeldFileHandle held = HoldFile(*installer);
  if (!held) return 1;
  if (!staged->sha256.empty() &&
      !VerifySha256Stream(
          [&held](void* buffer, std::size_t size) { return ReadHeldFile(*held, buffer, size); },
          staged->sha256)) {
    return 1;
  }
  if (!LaunchHeldFile(*held, *installer)) return 1;

  // The installer (or the opener handed a document) may still need its file,
  // so a later run removes it.
  state.erase("staged");
  if (!staged->version.empty()) {
    state["release_notes"] = ReleaseNotesJson(staged->version, staged->notes);
  }
  const std::int64_t now = UnixNow();
  RememberLaunched(state, staged->installer, now);
  (void)TidyUpdatesFolder(state, now);  // saved below whether or not it changed
  // The launch happened, but a record we could not consume is not a success.
  return SaveState(state) ? 0 : 1;
}

}  // namespace solvane
