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
// partial files: directly in the updates folder, named "*.partial". The state
// file is user-writable, so nothing else it names is touched.
void RemoveRecordedFile(const PartialRecord& record) {
  const std::string::size_type slash = record.file.rfind('/');
  const std::string name = slash == std::string::npos ? record.file : record.file.substr(slash + 1);
  const std::optional<std::string> folder = PathToUtf8(UpdatesDirectory());
  if (!folder || record.file != *folder + "/" + name || !name.ends_with(kPartialSuffix)) return;
  // A file that stays is no longer named by any record; the next run's
  // housekeeping tries again.
  if (const std::optional<std::string> path = Utf8ToPath(record.file)) (void)RemovePath(*path);
}

void SavePartialRecord(Json& state, const PartialRecord& record) {
  if (!state.is_object()) return;
  state["partial"] = PartialJson(record);
  (void)SaveState(state);  // without it the next run only starts from zero
}

}  // namespace

TransferOutcome DownloadInstaller(Json& state, const std::string& url, const std::string& sha256,
                                  const std::string& final_path, const ProgressCallback& progress,
                                  const std::function<void()>& verifying, int attempts) {
  const std::string partial = final_path + kPartialSuffix;
  const std::optional<std::string> partial_utf8 = PathToUtf8(partial);

  InstallerDownload request;
  request.url = url;
  request.sha256 = sha256;
  request.destination = partial;
  request.attempts = attempts;
  request.pause = std::chrono::milliseconds(kInstallRetryPauseMilliseconds);
  const std::optional<PartialRecord> recorded = ReadPartial(state);
  if (recorded && partial_utf8 && recorded->file == *partial_utf8 && recorded->url == url &&
      recorded->sha256 == sha256) {
    request.held =
        PartialDownload{recorded->url, recorded->sha256, recorded->bytes, recorded->validator};
  } else if (recorded) {
    // Another release, or the same name for other bytes: never joined.
    if (!partial_utf8 || recorded->file != *partial_utf8) RemoveRecordedFile(*recorded);
    state.erase("partial");
    (void)SaveState(state);
  }

  const auto remember = [&](const PartialDownload& held) {
    if (partial_utf8) {
      SavePartialRecord(state, {held.url, held.sha256, *partial_utf8, held.bytes, held.validator});
    }
  };
  // A download that keeps nothing leaves no state file where there was none.
  const bool had_state_file = PathExists(StateFilePath());
  InstallerDownloadResult result = DownloadWithResume(request, progress, remember);
  LogRoute(result.outcome);
  if (result.partial) {
    remember(*result.partial);
  } else if (state.is_object() && state.contains("partial")) {
    state.erase("partial");
    // Either way a stale record only costs the next run a fresh start.
    if (!had_state_file && state.empty()) {
      (void)RemovePath(StateFilePath());
    } else {
      (void)SaveState(state);
    }
  }
  // The digest was taken as the bytes arrived; its verdict is the verify step's.
  if (result.received && verifying) verifying();
  if (!result.complete || RenameOver(partial, final_path)) return std::move(result.outcome);
  (void)RemovePath(partial);  // the failure is reported; housekeeping removes a stray partial
  result.outcome.kind = OutcomeKind::kCannotWrite;
  return std::move(result.outcome);
}

void DropPartialDownloads(Json& state) {
  RemovePartialDownloads("");
  if (state.is_object() && state.contains("partial")) {
    state.erase("partial");
    (void)SaveState(state);  // a record naming a removed file is ignored next time
  }
}

}  // namespace solvane
