#include "app/delta_download.h"

#include <algorithm>
#include <optional>

#include "app/installer_download.h"
#include "app/transfer_report.h"
#include "app/updates_folder.h"
#include "constants.h"
#include "platform/encoding.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "release/patch_apply.h"
#include "release/verify.h"
#include "state/records.h"

namespace solvane {
namespace {

// The patch's download, kept at `patch_path` when it returns "".
std::string DownloadPatch(UpdatesRun& run, const ReleaseDelta& delta, const std::string& patch_path,
                          bool& folder_unusable) {
  const std::optional<std::string> partial_name = PathToUtf8(patch_path + kPartialSuffix);
  // Only the patch's own bytes are worth keeping: anything else is a release
  // this check no longer wants, as the full download would decide too.
  (void)RemovePartialDownloads(partial_name ? partial_name->substr(partial_name->rfind('/') + 1)
                                            : "");
  // One broken connection is resumed at once: the patch is small, and a
  // failure costs the whole installer.
  const InstallerFetch fetch =
      DownloadInstaller(run, delta.url, delta.sha256, delta.size, patch_path, nullptr, nullptr, 2);
  switch (fetch.outcome) {
    case InstallerDownloadOutcome::kDone:
      return "";
    case InstallerDownloadOutcome::kInProgress:
      return "another run is downloading the patch";
    case InstallerDownloadOutcome::kFolderUnusable:
      folder_unusable = true;
      return "the updates folder could not be locked again";
    case InstallerDownloadOutcome::kFailed:
      break;
  }
  return "patch download: " +
         (fetch.problem.empty() ? FailureReason(fetch.transfer) : fetch.problem);
}

// Applies the downloaded patch to the base into `final_path`'s partial file
// and renames it into place when it is the release. The folder is let go
// meanwhile: the apply reads and writes the whole installer.
std::string ApplyDownloadedPatch(UpdatesRun& run, const BaseRecord& base,
                                 const std::string& base_path, const std::string& patch_path,
                                 const std::string& sha256, std::int64_t size,
                                 const std::string& final_path, bool& folder_unusable) {
  const std::string partial = final_path + kPartialSuffix;
  // Held until the result is renamed or removed, as a download holds it.
  const LockAttempt partial_lock = LockFile(partial);
  if (!partial_lock.lock) {
    (void)RemovePath(patch_path);
    return partial_lock.busy ? "another run is downloading the installer"
                             : "cannot lock the partial file: " + partial_lock.error;
  }
  LetGoFolder(run);
  const PatchApplied applied = ApplyPatchFile(base_path, base.sha256, patch_path, partial, size);
  (void)RemovePath(patch_path);  // a patch left over is removed with the next one
  std::string problem = applied.problem;
  if (applied.ok && applied.sha256 != sha256) problem = "the result is not the release";
  if (!TakeFolder(run)) {
    folder_unusable = true;
    problem = "the updates folder could not be locked again";
  }
  if (problem.empty() && !RenameOver(partial, final_path)) problem = "cannot write the result";
  if (!problem.empty()) (void)RemovePath(partial);
  return problem;
}

}  // namespace

DeltaFetch DownloadByDelta(UpdatesRun& run, const std::vector<ReleaseDelta>& deltas,
                           const std::string& url, const std::string& sha256, std::int64_t size,
                           const std::string& final_path) {
  DeltaFetch fetch;
  // A result that cannot be checked against a signed digest is never used.
  if (deltas.empty() || sha256.empty()) return fetch;
  const std::optional<PartialRecord> partial = ReadPartial(run.state);
  if (partial && partial->url == url && partial->sha256 == sha256) return fetch;
  fetch.tried = true;
  const std::optional<BaseRecord> base = ReadBase(run.state);
  if (!base) {
    fetch.problem = "no base kept";
    return fetch;
  }
  fetch.base_version = base->version;
  const auto delta = std::find_if(deltas.begin(), deltas.end(), [&](const ReleaseDelta& d) {
    return d.from_sha256 == base->sha256;
  });
  const std::optional<std::string> base_path = Utf8ToPath(base->installer);
  // The state file is user-writable: only a file of our own serves as a base.
  if (delta == deltas.end()) {
    fetch.problem = "no delta from this base";
  } else if (!base_path || !IsOwnInstallerFile(*base_path)) {
    fetch.problem = "base missing";
  } else if (!VerifySha256(*base_path, base->sha256)) {
    // Checked before the download, which it would waste; the apply reads and
    // checks it again.
    fetch.problem = "base changed";
  }
  if (!fetch.problem.empty()) return fetch;

  const std::string patch_path = run.folder + kDeltaPatchFileName;
  fetch.problem = DownloadPatch(run, *delta, patch_path, fetch.folder_unusable);
  if (fetch.problem.empty()) {
    fetch.problem = ApplyDownloadedPatch(run, *base, *base_path, patch_path, sha256, size,
                                         final_path, fetch.folder_unusable);
  }
  fetch.done = fetch.problem.empty();
  return fetch;
}

}  // namespace solvane
