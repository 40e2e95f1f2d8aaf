#include "app/installer_download.h"
#include "app/manifest_fetch.h"
#include "app/transfer_report.h"
#include "app/updates_folder.h"
#include "app/workflows.h"
#include "constants.h"
#include "log/activity_log.h"
#include "net/transfer.h"
#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "state/installer_name.h"
#include "state/manifest.h"
#include "state/paths.h"
#include "state/records.h"
#include "state/signed_members.h"
#include "state/state_file.h"

namespace solvane {
namespace {

// Minimum time between two unforced update checks.
constexpr std::int64_t kCheckIntervalSeconds = 86400;
// The installer's name when its URL has no path.
constexpr const char kDefaultUpdateName[] = "Solvane-update.exe";

enum class Staging { kStaged, kFailed, kInProgress, kFolderUnusable };

// Downloads and verifies the release, then records it as staged in place of
// any earlier record, whose installer it removes. The folder's lock in
// `folder` is let go during the transfer, so the state is read again after
// it. Anything but kStaged keeps the old record and the old installer;
// `why` says what failed.
Staging StageRelease(LockAttempt& folder, const std::string& version, const std::string& url,
                     const std::string& sha256, const std::string& notes, std::string& why) {
  const std::optional<std::string> name = InstallerFileName(url, kDefaultUpdateName);
  why = "unusable file name";
  if (!name) return Staging::kFailed;  // nothing was created, so nothing to delete
  const std::string path = UpdatesDirectory() + "/" + *name;
  const std::optional<std::string> stored_path = PathToUtf8(path);
  // A path the state file cannot hold could never be applied.
  if (!stored_path) return Staging::kFailed;

  const std::optional<std::string> partial_name = PathToUtf8(*name + kPartialSuffix);
  // Another run's download in progress keeps its file.
  (void)RemovePartialDownloads(partial_name ? *partial_name : "");
  // Silent: a broken transfer keeps its bytes for tomorrow's check.
  const InstallerFetch download = DownloadInstaller(folder, url, sha256, path, nullptr);
  why = download.problem.empty() ? FailureReason(download.transfer) : download.problem;
  switch (download.outcome) {
    case InstallerDownloadOutcome::kDone:
      break;
    case InstallerDownloadOutcome::kFailed:
      return Staging::kFailed;
    case InstallerDownloadOutcome::kInProgress:
      return Staging::kInProgress;
    case InstallerDownloadOutcome::kFolderUnusable:
      why = "the updates folder could not be locked again";
      return Staging::kFolderUnusable;
  }

  // Read again: an --apply or another check may have run during the transfer.
  Json state = LoadState();
  const std::optional<StagedRecord> previous = ReadStaged(state);
  const bool superseded = previous && CompareVersions(previous->version, version) > 0;
  Json staged_state = state;
  // The record keeps the day it was staged, the date part of the UTC time.
  WriteStaged(staged_state,
              {version, *stored_path, sha256, notes, FormatUtcTime(UnixNow()).substr(0, 10)});
  if (superseded || !SaveState(staged_state)) {
    // Best effort: a file left here is replaced when the release is downloaded again.
    if (!previous || !SamePath(previous->installer, *stored_path)) (void)RemovePath(path);
    why = superseded ? "a newer release was staged meanwhile" : "cannot write the state file";
    return Staging::kFailed;
  }
  if (previous && !SamePath(previous->installer, *stored_path)) {
    RemoveOwnInstaller(previous->installer);
  }
  return Staging::kStaged;
}

// The staged record when its file is still the one that was verified; a
// record whose file went missing or changed is dropped from `state` (and the
// state saved), so that its release is downloaded again.
std::optional<StagedRecord> SoundStagedRecord(Json& state) {
  const std::optional<StagedRecord> staged = ReadStaged(state);
  if (!staged) return std::nullopt;
  const std::optional<std::string> path = Utf8ToPath(staged->installer);
  if (path && StagedFileVerifies(*path, staged->sha256)) return staged;
  LogMessage("check: staged %s no longer verifies, dropped", staged->version.c_str());
  (void)DropStaged(state);
  // Dropped in memory either way; a failed save only means a later check
  // drops it again.
  (void)SaveState(state);
  return std::nullopt;
}

}  // namespace

int RunCheck(const ReleaseSource& source, const std::string& current_version, bool force) {
  LogMessage("check: current=%s force=%d", current_version.c_str(), force ? 1 : 0);
  // Held to the end but for the installer's transfer: the state is read,
  // changed and written as one step.
  LockAttempt folder = LockUpdatesFolder();
  if (!folder.lock) {
    LogMessage("check: %s", LockProblem(folder).c_str());
    return 0;
  }
  std::string state_problem;
  Json state = LoadState(&state_problem);
  if (!state_problem.empty()) LogMessage("check: %s", state_problem.c_str());

  if (!force) {
    // Compared with now -/+ interval so that no stored value can overflow;
    // a last_check further ahead than one interval (a clock that once ran
    // ahead) is stale, or it would hold back every check until then.
    const std::int64_t last = ReadLastCheck(state);
    const std::int64_t now = UnixNow();
    if (last > now - kCheckIntervalSeconds && last <= now + kCheckIntervalSeconds) {
      LogMessage("check: skipped (within 24h interval)");
      return 0;
    }
  }

  TransferSession transfers;
  const std::string manifest_url = source.ManifestUrl();
  LogMessage("check: manifest url=%s", manifest_url.c_str());
  const FetchedManifest manifest = FetchReleaseManifest(source, ReadManifestSerial(state));
  const bool fetched = manifest.fetched;

  // A failed fetch postpones the next unforced check too.
  WriteLastCheck(state, UnixNow());
  (void)RaiseManifestSerial(state, manifest.serial);
  (void)TidyUpdatesFolder(state, UnixNow());  // saved below whether or not it changed
  if (!SaveState(state)) {
    // What could not record last_check could not record a staged installer either.
    LogMessage("check: cannot write the state file; nothing downloaded");
    return 0;
  }
  if (!manifest.rejection.empty()) {
    LogMessage("check: manifest rejected: %s", manifest.rejection.c_str());
    return 0;
  }

  std::optional<StagedRecord> staged = SoundStagedRecord(state);
  std::string version, url, sha256, notes, parse_error;
  const bool parsed =
      fetched && ParseReleaseManifest(source, manifest, version, url, sha256, notes, parse_error);
  // A build with keys trusts only what a signed manifest vouches for: a
  // record without a digest, or with another digest for the same version
  // (staged by a build without keys), is downloaded again.
  if (parsed && staged && !source.public_keys.empty() &&
      (staged->sha256.empty() ||
       (CompareVersions(version, staged->version) == 0 && staged->sha256 != sha256))) {
    LogMessage("check: staged %s is not the signed release, dropped", staged->version.c_str());
    (void)DropStaged(state);
    (void)SaveState(state);  // dropped in memory either way; a later check drops it again
    staged.reset();
  }
  // What the user gets by applying: the staged release when it is newer.
  const std::string& baseline = staged && CompareVersions(staged->version, current_version) > 0
                                    ? staged->version
                                    : current_version;
  if (!fetched) {
    LogMessage("check: manifest fetch failed: %s", FailureReason(manifest.outcome).c_str());
  } else if (!parse_error.empty()) {
    LogMessage("check: manifest unusable: %s", parse_error.c_str());
  } else if (!parsed) {
    LogMessage("check: no release for %s", source.platform_key.c_str());
  } else if (staged && CompareVersions(version, staged->version) == 0) {
    DropPartialDownloads(state);
    LogMessage("check: already staged %s", version.c_str());
  } else if (CompareVersions(version, baseline) > 0) {
    LogMessage("check: update available %s -> %s", current_version.c_str(), version.c_str());
    std::string why;
    switch (StageRelease(folder, version, url, sha256, notes, why)) {
      case Staging::kStaged:
        LogMessage("check: staged %s", version.c_str());
        break;
      case Staging::kInProgress:
        LogMessage("check: a download of %s is in progress", version.c_str());
        break;
      case Staging::kFolderUnusable:
        LogMessage("check: %s", LockProblem(folder).c_str());
        [[fallthrough]];
      case Staging::kFailed:
        LogMessage("check: download/verify failed for %s: %s", version.c_str(), why.c_str());
        break;
    }
  } else {
    // Nothing newer is wanted, so neither is a partial download of anything.
    DropPartialDownloads(state);
    LogMessage("check: up to date");
  }
  return 0;
}

}  // namespace solvane
