#include "app/installer_download.h"

#include <chrono>
#include <optional>

#include "app/transfer_report.h"
#include "app/updates_folder.h"
#include "constants.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "state/paths.h"
#include "state/records.h"

namespace solvane {
namespace {

// Removes the file a `partial` record names, when it is one of our own
// partial files: directly in the updates folder, named "*.partial", and not
// being downloaded into by another run. The state file is user-writable, so
// nothing else it names is touched.
void RemoveRecordedFile(const PartialRecord& record) {
  const std::string::size_type slash = record.file.rfind('/');
  const std::string name = slash == std::string::npos ? record.file : record.file.substr(slash + 1);
  const std::optional<std::string> folder = PathToUtf8(UpdatesDirectory());
  if (!folder || record.file != *folder + "/" + name || !name.ends_with(kPartialSuffix)) return;
  // A file that stays is no longer named by any record; the next run's
  // housekeeping tries again.
  if (const std::optional<std::string> path = Utf8ToPath(record.file)) {
    (void)RemovePartialFile(*path);
  }
}

}  // namespace

InstallerFetch DownloadInstaller(LockAttempt& folder_lock, const std::string& url,
                                 const std::string& sha256, const std::string& final_path,
                                 const ProgressCallback& progress,
                                 const std::function<void()>& verifying, int attempts) {
  InstallerFetch fetch;
  const std::string partial = final_path + kPartialSuffix;
  const std::optional<std::string> partial_utf8 = PathToUtf8(partial);
  // Held until the file is renamed or given up: another run that wants the
  // same bytes leaves them alone meanwhile.
  const LockAttempt partial_lock = LockFile(partial);
  if (partial_lock.busy) {
    fetch.outcome = InstallerDownloadOutcome::kInProgress;
    return fetch;
  }
  if (!partial_lock.lock) {
    fetch.problem = "cannot lock the partial file: " + partial_lock.error;
    return fetch;
  }

  InstallerDownload request;
  request.url = url;
  request.sha256 = sha256;
  request.destination = partial;
  request.attempts = attempts;
  request.pause = std::chrono::milliseconds(kInstallRetryPauseMilliseconds);
  Json state = LoadState();
  const std::optional<PartialRecord> recorded = ReadPartial(state);
  if (recorded && partial_utf8 && recorded->file == *partial_utf8 && recorded->url == url &&
      recorded->sha256 == sha256) {
    request.held =
        PartialDownload{recorded->url, recorded->sha256, recorded->bytes, recorded->validator};
  } else if (recorded) {
    // Another release, or the same name for other bytes: never joined.
    if (!partial_utf8 || recorded->file != *partial_utf8) RemoveRecordedFile(*recorded);
    (void)DropPartial(state);
    (void)SaveState(state);
  }
  // A download that keeps nothing leaves no state file where there was none.
  const bool had_state_file = PathExists(StateFilePath());

  // The transfer may take hours on a slow link; an --apply of what is
  // already staged must not wait for it.
  folder_lock.lock.reset();
  const auto remember = [&](const PartialDownload& held) {
    if (!partial_utf8) return;
    // Without it the next run only starts from zero.
    (void)ChangeStateLocked([&](Json& current) {
      if (current.is_object()) {
        WritePartial(current, {held.url, held.sha256, *partial_utf8, held.bytes, held.validator});
      }
    });
  };
  InstallerDownloadResult result = DownloadWithResume(request, progress, remember);
  LogRoute(result.outcome);
  fetch.transfer = std::move(result.outcome);
  if (result.partial) remember(*result.partial);

  folder_lock = LockUpdatesFolder();
  if (!folder_lock.lock) {
    if (result.complete) fetch.outcome = InstallerDownloadOutcome::kFolderUnusable;
    return fetch;
  }
  if (!result.partial) {
    Json current = LoadState();
    const std::optional<PartialRecord> ours = ReadPartial(current);
    if (ours && partial_utf8 && ours->file == *partial_utf8) {
      (void)DropPartial(current);
      // Either way a stale record only costs the next run a fresh start.
      if (!had_state_file && current.empty()) {
        (void)RemovePath(StateFilePath());
      } else {
        (void)SaveState(current);
      }
    }
  }
  // The digest was taken as the bytes arrived; its verdict is the verify step's.
  if (result.received && verifying) verifying();
  if (!result.complete) return fetch;
  if (RenameOver(partial, final_path)) {
    fetch.outcome = InstallerDownloadOutcome::kDone;
    return fetch;
  }
  (void)RemovePath(partial);  // the failure is reported; housekeeping removes a stray partial
  fetch.transfer.kind = OutcomeKind::kCannotWrite;
  return fetch;
}

void DropPartialDownloads(Json& state) {
  // A download in progress elsewhere keeps its file and its record.
  if (RemovePartialDownloads("") && DropPartial(state)) {
    (void)SaveState(state);  // a record naming a removed file is ignored next time
  }
}

}  // namespace solvane
