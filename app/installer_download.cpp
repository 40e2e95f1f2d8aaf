#include "app/installer_download.h"

#include <chrono>
#include <filesystem>
#include <optional>

#include "app/transfer_report.h"
#include "app/updates_folder.h"
#include "constants.h"
#include "log/activity_log.h"
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
void RemoveRecordedFile(const UpdatesRun& run, const PartialRecord& record) {
  const std::string::size_type slash = record.file.rfind('/');
  const std::string name = slash == std::string::npos ? record.file : record.file.substr(slash + 1);
  const std::optional<std::string> folder = PathToUtf8(run.folder);
  if (!folder || record.file != *folder + "/" + name || !name.ends_with(kPartialSuffix)) return;
  // A file that stays is no longer named by any record; the next run's
  // housekeeping tries again.
  if (const std::optional<std::string> path = Utf8ToPath(record.file)) {
    (void)RemovePartialFile(*path);
  }
}

// The request for `url`, resuming from what the run's `partial` record holds
// when it describes this very download. A record of anything else is
// dropped, with its file unless that is the one about to be written.
InstallerDownload PrepareRequest(UpdatesRun& run, const std::string& url, const std::string& sha256,
                                 std::int64_t size, const std::string& partial,
                                 const std::optional<std::string>& partial_utf8) {
  InstallerDownload request;
  request.url = url;
  request.sha256 = sha256;
  request.destination = partial;
  request.size = size;
  const std::optional<PartialRecord> recorded = ReadPartial(run.state);
  if (recorded && partial_utf8 && recorded->file == *partial_utf8 && recorded->url == url &&
      recorded->sha256 == sha256) {
    request.held =
        PartialDownload{recorded->url, recorded->sha256, recorded->bytes, recorded->validator};
  } else if (recorded) {
    // Another release, or the same name for other bytes: never joined.
    if (!partial_utf8 || recorded->file != *partial_utf8) RemoveRecordedFile(run, *recorded);
    (void)DropPartial(run.state);
    (void)SaveRun(run);
  }
  return request;
}

// After a download that keeps nothing for resume: its `partial` record goes.
// A download that kept nothing leaves no state file where there was none.
void ForgetFinishedDownload(UpdatesRun& run, const std::optional<std::string>& partial_utf8,
                            bool had_state_file) {
  const std::optional<PartialRecord> ours = ReadPartial(run.state);
  if (!ours || !partial_utf8 || ours->file != *partial_utf8) return;
  (void)DropPartial(run.state);
  // Either way a stale record only costs the next run a fresh start.
  if (!had_state_file && run.state.empty()) {
    (void)RemovePath(StateFilePath());
  } else {
    (void)SaveRun(run);
  }
}

// The bytes still to come for `request`: its size less what the partial
// file already holds of it, when that is resumed.
std::int64_t BytesToCome(const InstallerDownload& request) {
  if (!request.held) return request.size;
  std::error_code error;
  std::uintmax_t held = 0;
  try {
    held = std::filesystem::file_size(ToFsPath(request.destination), error);
  } catch (const std::filesystem::filesystem_error&) {
    return request.size;
  }
  if (error || held > static_cast<std::uintmax_t>(request.size)) return request.size;
  return request.size - static_cast<std::int64_t>(held);
}

}  // namespace

const char* FetchEndText(FetchEnd end) {
  switch (end) {
    case FetchEnd::kDone:
      return "done";
    case FetchEnd::kFailed:
      return "failed";
    case FetchEnd::kInProgress:
      return "in progress";
    case FetchEnd::kFolderLost:
      return "the updates folder could not be locked again";
    case FetchEnd::kWithdrawn:
      return "withdrawn";
  }
  return "failed";
}

bool EnoughSpaceFor(std::int64_t free_bytes, std::int64_t to_come) {
  return free_bytes >= 0 && to_come >= 0 && free_bytes - to_come >= kFreeSpaceMargin;
}

InstallerFetch DownloadInstallerLettingGo(UpdatesRun& run, const std::string& url,
                                          const std::string& sha256, std::int64_t size,
                                          const std::string& final_path,
                                          const ProgressCallback& progress,
                                          const std::function<void()>& verifying, int attempts) {
  InstallerFetch fetch;
  const std::string partial = final_path + kPartialSuffix;
  const std::optional<std::string> partial_utf8 = PathToUtf8(partial);
  // Held until the file is renamed or given up: another run that wants the
  // same bytes leaves them alone meanwhile.
  const LockAttempt partial_lock = LockFile(partial);
  if (partial_lock.busy) {
    fetch.end = FetchEnd::kInProgress;
    return fetch;
  }
  if (!partial_lock.lock) {
    fetch.why = "cannot lock the partial file: " + partial_lock.error;
    return fetch;
  }

  InstallerDownload request = PrepareRequest(run, url, sha256, size, partial, partial_utf8);
  // Found out before the first byte rather than by failing part-way; a disk
  // whose free space cannot be read is left to the writes to judge.
  const std::optional<std::int64_t> free_bytes =
      size > 0 ? FreeDiskBytes(run.folder) : std::nullopt;
  if (free_bytes && !EnoughSpaceFor(*free_bytes, BytesToCome(request))) {
    fetch.transfer.kind = OutcomeKind::kCannotWrite;
    fetch.why = FailureReason(fetch.transfer);
    return fetch;
  }
  request.attempts = attempts;
  request.pause = std::chrono::milliseconds(kInstallRetryPauseMilliseconds);
  const bool had_state_file = PathExists(StateFilePath());

  // The transfer may take hours on a slow link; an --apply of what is
  // already staged must not wait for it.
  LetGoFolder(run);
  const auto remember = [&](const PartialDownload& held) {
    if (!partial_utf8) return;
    // Without it the next run only starts from zero.
    (void)ChangeStateBriefly(run, [&](Json& current) {
      if (current.is_object()) {
        WritePartial(current, {held.url, held.sha256, *partial_utf8, held.bytes, held.validator});
      }
    });
  };
  InstallerDownloadResult result = DownloadWithResume(request, progress, remember);
  LogRoute(result.outcome);
  fetch.transfer = std::move(result.outcome);
  if (!fetch.transfer.ok()) fetch.why = FailureReason(fetch.transfer);
  if (result.partial) remember(*result.partial);

  // Whatever the transfer came to, a caller without the folder must stop:
  // the state it read before the transfer is stale.
  if (!TakeFolder(run)) {
    fetch.end = FetchEnd::kFolderLost;
    return fetch;
  }
  if (!result.partial) ForgetFinishedDownload(run, partial_utf8, had_state_file);
  // The digest was taken as the bytes arrived; its verdict is the verify step's.
  if (result.received && verifying) verifying();
  if (!result.complete) {
    if (fetch.why.empty()) fetch.why = FailureReason(fetch.transfer);
    return fetch;
  }
  const PatientResult renamed = RenameOverPatiently(partial, final_path);
  if (renamed.waited) {
    LogMessage("%s: another program held the verified download for a while; %s",
               run.log_word.c_str(), renamed.ok ? "renamed after waiting" : "not renamed");
  }
  if (renamed.ok) {
    fetch.end = FetchEnd::kDone;
    return fetch;
  }
  (void)RemovePath(partial);  // the failure is reported; housekeeping removes a stray partial
  fetch.transfer.kind = OutcomeKind::kCannotWrite;
  fetch.why = FailureReason(fetch.transfer);
  return fetch;
}

bool DropPartialDownloads(UpdatesRun& run) {
  // A download in progress elsewhere keeps its file and its record.
  if (!RemovePartialDownloads("")) return false;
  if (DropPartial(run.state)) (void)SaveRun(run);  // a record naming a removed file is ignored
  return true;
}

}  // namespace solvane
