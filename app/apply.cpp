// --apply: starts the installer a check staged, after checking its digest
// through the handle that starts it.
#include <cstdio>
#include <optional>
#include <string>

#include "app/publisher_gate.h"
#include "app/updates_folder.h"
#include "app/updates_run.h"
#include "app/workflows.h"
#include "log/activity_log.h"
#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "platform/launch.h"
#include "release/verify.h"
#include "state/paths.h"
#include "state/records.h"
#include "state/state_file.h"

namespace solvane {
namespace {

// The state file's bytes as they stand; nullopt when they cannot be read.
std::optional<std::string> StateFileBytes() {
  const UniqueFile file = OpenFile(StateFilePath(), "rb");
  if (!file) return std::nullopt;
  std::string text;
  char buffer[8192];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
    text.append(buffer, got);
  }
  if (std::ferror(file.get())) return std::nullopt;
  return text;
}

}  // namespace

int RunApply(UpdatesRun& run, const ReleaseSource& source) {
  // Held until the record is consumed, so one staged installer starts once.
  // A check only holds it for moments, never for its download.
  std::string state_problem;
  if (!TakeFolder(run, &state_problem)) {
    LogMessage("apply: %s", LockProblem(run.lock).c_str());
    return 1;
  }
  if (!state_problem.empty()) LogMessage("apply: %s", state_problem.c_str());
  const std::optional<StagedRecord> staged = ReadStaged(run.state);
  if (!staged || staged->installer.empty()) return 1;  // nothing staged: nothing to say
  // A build with keys starts only bytes a signed manifest vouched for.
  if (staged->sha256.empty() && !source.public_keys.empty()) {
    LogMessage("apply: staged %s has no digest; not started", staged->version.c_str());
    return 1;
  }

  // Only a file the check itself put in the updates folder is started: the
  // state file is user-writable and could name anything.
  const std::optional<std::string> installer = Utf8ToPath(staged->installer);
  if (!installer || !IsOwnInstallerFile(*installer)) {
    LogMessage("apply: staged %s is not an installer in the updates folder; not started",
               staged->version.c_str());
    return 1;
  }

  // The file sat in a user-writable folder since it was verified; anything
  // running as the user could have swapped it, so check it once more, through
  // the very handle that is launched, so that what runs is what was checked.
  HeldFileHandle held = HoldFile(*installer);
  if (!held) {
    LogMessage("apply: cannot open the staged installer of %s; not started",
               staged->version.c_str());
    return 1;
  }
  if (!staged->sha256.empty() &&
      !VerifySha256Stream(
          [&held](void* buffer, std::size_t size) { return ReadHeldFile(*held, buffer, size); },
          staged->sha256)) {
    LogMessage("apply: staged %s no longer verifies; not started", staged->version.c_str());
    return 1;
  }
  // The vendor's signature, on the same handle. A refused installer would be
  // refused again on every run: its record and its file go, so that a later
  // check fetches the release afresh.
  const PublisherRefusal refusal = CheckInstallerPublisher(
      *held, *installer, source, staged->publisher_pins, "apply", staged->version);
  if (refusal.refused()) {
    LogMessage("apply: %s not started: %s", staged->version.c_str(), refusal.Text().c_str());
    (void)DropStaged(run.state);
    (void)SaveRun(run);  // a record left behind is refused again, no worse
    held.reset();        // Windows removes no file that is open
    (void)RemoveOwnInstaller(staged->installer);
    return 1;
  }

  // Consumed before the start, so that a state file that cannot be written
  // (a full disk, a read-only file) costs one launch at most, never one per
  // run. The installer (or the opener handed a document) may still need its
  // file, so a later run removes it.
  const std::optional<std::string> before = StateFileBytes();
  (void)DropStaged(run.state);
  if (!staged->version.empty()) WriteReleaseNotes(run.state, staged->version, staged->notes);
  const std::int64_t now = UnixNow();
  RememberStarted(run.state, staged->installer, staged->version, staged->sha256, now);
  (void)TidyUpdatesFolder(run.state, now);  // saved below whether or not it changed
  if (!SaveRun(run)) {
    LogMessage("apply: cannot write the state file; %s not started", staged->version.c_str());
    return 1;
  }
  if (LaunchHeldFile(*held, *installer)) return 0;
  LogMessage("apply: cannot start the staged installer of %s", staged->version.c_str());
  // Not started: the record comes back, byte for byte, for a later attempt.
  if (!before || !WriteFileAtomically(StateFilePath(), *before, FileForm::kBinary)) {
    LogMessage("apply: cannot put the staged record back");
  }
  return 1;
}

}  // namespace solvane
