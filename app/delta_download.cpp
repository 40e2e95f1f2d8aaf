#include "app/delta_download.h"

#include <algorithm>
#include <optional>

#include "app/installer_download.h"
#include "app/transfer_report.h"
#include "app/updates_folder.h"
#include "constants.h"
#include "log/activity_log.h"
#include "platform/encoding.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "release/patch_apply.h"
#include "release/verify.h"
#include "state/records.h"

namespace solvane {
namespace {

// A failed step of the delta, saying why.
InstallerFetch DeltaFailed(std::string why) {
  InstallerFetch failed;
  failed.why = std::move(why);
  return failed;
}

// The patch's download, kept at `patch_path` when it is kDone.
InstallerFetch DownloadPatchLettingGo(UpdatesRun& run, const ReleaseDelta& delta,
                                      const std::string& patch_path) {
  const std::optional<std::string> partial_name = PathToUtf8(patch_path + kPartialSuffix);
  // Only the patch's own bytes are worth keeping: anything else is a release
  // this check no longer wants, as the full download would decide too.
  (void)RemovePartialDownloads(partial_name ? partial_name->substr(partial_name->rfind('/') + 1)
                                            : "");
  // One broken connection is resumed at once: the patch is small, and a
  // failure costs the whole installer.
  InstallerFetch fetch = DownloadInstallerLettingGo(run, delta.url, delta.sha256, delta.size,
                                                    patch_path, nullptr, nullptr, 2);
  switch (fetch.end) {
    case FetchEnd::kDone:
    case FetchEnd::kFolderLost:
      return fetch;
    case FetchEnd::kInProgress:
      return DeltaFailed("another run is downloading the patch");
    case FetchEnd::kFailed:
    case FetchEnd::kWithdrawn:
      break;
  }
  return DeltaFailed("patch download: " + fetch.why);
}

// Applies the downloaded patch to the base into `final_path`'s partial file
// and renames it into place when it is the release. The folder is let go
// meanwhile: the apply reads and writes the whole installer.
InstallerFetch ApplyPatchLettingGo(UpdatesRun& run, const BaseRecord& base,
                                   const std::string& base_path, const std::string& patch_path,
                                   const std::string& sha256, std::int64_t size,
                                   const std::string& final_path) {
  const std::string partial = final_path + kPartialSuffix;
  // Held until the result is renamed or removed, as a download holds it.
  const LockAttempt partial_lock = LockFile(partial);
  if (!partial_lock.lock) {
    (void)RemovePath(patch_path);
    return DeltaFailed(partial_lock.busy ? "another run is downloading the installer"
                                         : "cannot lock the partial file: " + partial_lock.error);
  }
  LetGoFolder(run);
  const PatchApplied applied = ApplyPatchFile(base_path, base.sha256, patch_path, partial, size);
  // A patch left over is removed with the next one.
  if (RemovePathPatiently(patch_path).waited) {
    LogMessage("%s: another program held the used patch for a while", run.log_word.c_str());
  }
  InstallerFetch fetch = DeltaFailed(applied.problem);
  if (applied.ok && applied.sha256 != sha256) fetch.why = "the result is not the release";
  if (!TakeFolder(run)) {
    fetch.end = FetchEnd::kFolderLost;
    fetch.why = FetchEndText(FetchEnd::kFolderLost);
  } else if (fetch.why.empty()) {
    const PatientResult renamed = RenameOverPatiently(partial, final_path);
    if (renamed.waited) {
      LogMessage("%s: another program held the patched installer for a while; %s",
                 run.log_word.c_str(), renamed.ok ? "renamed after waiting" : "not renamed");
    }
    if (!renamed.ok) fetch.why = "cannot write the result";
  }
  if (fetch.why.empty()) {
    fetch.end = FetchEnd::kDone;
  } else {
    (void)RemovePath(partial);
  }
  return fetch;
}

}  // namespace

std::optional<DeltaFetch> DownloadByDeltaLettingGo(UpdatesRun& run,
                                                   const std::vector<ReleaseDelta>& deltas,
                                                   const std::string& url,
                                                   const std::string& sha256, std::int64_t size,
                                                   const std::string& final_path) {
  // A result that cannot be checked against a signed digest is never used.
  if (deltas.empty() || sha256.empty()) return std::nullopt;
  const std::optional<PartialRecord> partial = ReadPartial(run.state);
  if (partial && partial->url == url && partial->sha256 == sha256) return std::nullopt;
  DeltaFetch fetch;
  const std::optional<BaseRecord> base = ReadBase(run.state);
  if (!base) {
    fetch.result = DeltaFailed("no base kept");
    return fetch;
  }
  fetch.base_version = base->version;
  const auto delta = std::find_if(deltas.begin(), deltas.end(), [&](const ReleaseDelta& d) {
    return d.from_sha256 == base->sha256;
  });
  const std::optional<std::string> base_path = Utf8ToPath(base->installer);
  // The state file is user-writable: only a file of our own serves as a base.
  if (delta == deltas.end()) {
    fetch.result = DeltaFailed("no delta from this base");
  } else if (!base_path || !IsOwnInstallerFile(*base_path)) {
    fetch.result = DeltaFailed("base missing");
  } else if (!VerifySha256(*base_path, base->sha256)) {
    // Checked before the download, which it would waste; the apply reads and
    // checks it again.
    fetch.result = DeltaFailed("base changed");
  } else {
    const std::string patch_path = run.folder + kDeltaPatchFileName;
    fetch.result = DownloadPatchLettingGo(run, *delta, patch_path);
    if (fetch.result.end == FetchEnd::kDone) {
      fetch.result =
          ApplyPatchLettingGo(run, *base, *base_path, patch_path, sha256, size, final_path);
    }
  }
  return fetch;
}

}  // namespace solvane
