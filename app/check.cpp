// --check: at most once a day, asks the release server for a newer release,
// downloads and verifies it and records it as staged in the state file.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "app/check_decision.h"
#include "app/check_schedule.h"
#include "app/delta_download.h"
#include "app/installer_download.h"
#include "app/manifest_fetch.h"
#include "app/publisher_gate.h"
#include "app/transfer_report.h"
#include "app/updates_folder.h"
#include "app/updates_run.h"
#include "app/workflows.h"
#include "constants.h"
#include "log/activity_log.h"
#include "net/transfer.h"
#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "platform/link_cost.h"
#include "platform/system_version.h"
#include "release/manifest.h"
#include "release/release_choice.h"
#include "release/signed_members.h"
#include "state/installer_name.h"
#include "state/paths.h"
#include "state/records.h"
#include "state/state_file.h"

namespace solvane {
namespace {

// The installer's name when its URL has no path.
constexpr const char kDefaultUpdateName[] = "Solvane-update.exe";

// The release the manifest offers, as the check reads it.
struct OfferedRelease {
  std::string version, url, sha256, notes;
  bool critical = false;
  std::vector<ReleaseDelta> deltas;
  std::int64_t size = 0;   // the installer's bytes; 0 when the manifest gives none
  bool downgrade = false;  // older than the installed release
  std::vector<std::string> publisher_pins = {};  // what a signed manifest adds to the build's
};

// A staging that failed before any download, saying why.
InstallerFetch StagingFailed(std::string why) {
  InstallerFetch failed;
  failed.why = std::move(why);
  return failed;
}

// Downloads the release's installer whole to `path`, resuming what an
// earlier run kept of it.
InstallerFetch DownloadInFullLettingGo(UpdatesRun& run, const OfferedRelease& release,
                                       const std::string& name, const std::string& path) {
  const std::optional<std::string> partial_name = PathToUtf8(name + kPartialSuffix);
  // Another run's download in progress keeps its file.
  (void)RemovePartialDownloads(partial_name ? *partial_name : "");
  // Silent: a broken transfer keeps its bytes for tomorrow's check.
  return DownloadInstallerLettingGo(run, release.url, release.sha256, release.size, path, nullptr);
}

// Gets the release's installer to `path`: from a patch against the base
// when the release lists one for it, else, or when that fails, in full.
InstallerFetch FetchInstallerLettingGo(UpdatesRun& run, const OfferedRelease& release,
                                       const std::string& name, const std::string& path) {
  const std::optional<DeltaFetch> delta = DownloadByDeltaLettingGo(
      run, release.deltas, release.url, release.sha256, release.size, path);
  if (delta && delta->result.end != FetchEnd::kFailed) return delta->result;
  if (delta) {
    LogMessage("check: delta from %s failed: %s; downloading in full",
               delta->base_version.empty() ? "(no base)" : delta->base_version.c_str(),
               delta->result.why.c_str());
  }
  return DownloadInFullLettingGo(run, release, name, path);
}

// Downloads and verifies the release, then records it as staged in place of
// any earlier record, whose installer it removes. Lets the folder go for the
// transfer, as its name says; on every end but kFolderLost it is held again
// and `run.state` read afresh. Anything but kDone keeps the old record and
// the old installer.
InstallerFetch StageReleaseLettingGo(UpdatesRun& run, const ReleaseSource& source,
                                     const OfferedRelease& release) {
  std::optional<std::string> name = InstallerFileName(release.url, kDefaultUpdateName);
  // Nothing was created, so nothing to delete.
  if (!name) return StagingFailed("unusable file name");
  // Releases may share a file name: one whose name a recorded installer of
  // other bytes holds (the staged one, the base, one just started) is
  // downloaded under a name with its version in it.
  const auto taken = [&run, &release](const std::string& file_name) {
    const std::optional<std::string> utf8 = PathToUtf8(run.folder + "/" + file_name);
    return utf8 && IsRecordedInstaller(run.state, *utf8, release.sha256);
  };
  if (taken(*name)) {
    const std::string own_name = *name;
    name = VersionedInstallerName(own_name, release.version);
    if (!name || taken(*name)) {
      return StagingFailed("its file name " + own_name + " is taken by another installer");
    }
  }
  const std::string path = run.folder + "/" + *name;
  const std::optional<std::string> stored_path = PathToUtf8(path);
  // A path the state file cannot hold could never be applied.
  if (!stored_path) return StagingFailed("unusable file name");

  InstallerFetch fetched = FetchInstallerLettingGo(run, release, *name, path);
  if (fetched.end != FetchEnd::kDone) return fetched;
  // Whole and verified, downloaded or patched: now whether the vendor signed
  // it. A refused file goes: no recorded installer of other bytes has its name.
  const PublisherRefusal refusal =
      CheckInstallerPublisherAt(path, source, release.publisher_pins, "check", release.version);
  if (refusal.refused()) {
    (void)RemovePath(path);
    fetched.end = FetchEnd::kFailed;
    fetched.why = refusal.Text();
    fetched.not_signed = true;
    return fetched;
  }

  // The run's state was read again: an --apply or another check may have
  // run during the transfer, and a check may have accepted a manifest that
  // withdraws this release.
  const std::vector<std::string> withdrawn = ReadWithdrawn(run.state);
  if (std::find(withdrawn.begin(), withdrawn.end(), release.version) != withdrawn.end()) {
    (void)RemovePath(path);  // under its own name, never a recorded installer's
    fetched.end = FetchEnd::kWithdrawn;
    return fetched;
  }
  const std::optional<StagedRecord> previous = ReadStaged(run.state);
  const bool superseded =
      previous && !release.downgrade && CompareVersions(previous->version, release.version) > 0;
  // Changed on a copy: a record that could not be saved is not kept.
  Json staged_state = run.state;
  // The record keeps the day it was staged, the date part of the UTC time.
  WriteStaged(staged_state, {release.version, *stored_path, release.sha256, release.notes,
                             FormatUtcTime(UnixNow()).substr(0, 10), release.critical,
                             release.publisher_pins, release.downgrade});
  if (superseded || !SaveRunState(staged_state)) {
    // Best effort: a file left here is replaced when the release is downloaded again.
    if (!previous || !SamePath(previous->installer, *stored_path)) (void)RemovePath(path);
    return StagingFailed(superseded ? "a newer release was staged meanwhile"
                                    : "cannot write the state file");
  }
  run.state = std::move(staged_state);
  if (previous && !SamePath(previous->installer, *stored_path) &&
      RemoveOwnInstaller(previous->installer)) {
    LogMessage("check: the superseded installer of %s was held by another program for a while",
               previous->version.c_str());
  }
  return fetched;
}

// Drops the staged record from the run's state, and saves it: the record
// is wrong either way, so a failed save only means a later check drops it again.
void DropStagedRecord(UpdatesRun& run) {
  (void)DropStaged(run.state);
  (void)SaveRun(run);
}

// The staged record when its file is still the one that was verified; a
// record whose file went missing or changed is dropped, so that its release
// is downloaded again.
std::optional<StagedRecord> SoundStagedRecord(UpdatesRun& run) {
  const std::optional<StagedRecord> staged = ReadStaged(run.state);
  if (!staged) return std::nullopt;
  const std::optional<std::string> path = Utf8ToPath(staged->installer);
  if (path && StagedFileVerifies(*path, staged->sha256)) return staged;
  LogMessage("check: staged %s no longer verifies, dropped", staged->version.c_str());
  DropStagedRecord(run);
  return std::nullopt;
}

// Whether an unforced check asks the server now; logs why not.
bool UnforcedCheckDue(const UpdatesRun& run) {
  const std::int64_t hours = run.policy.check_interval_hours.value_or(24);
  switch (UnforcedCheckTiming(ReadLastCheck(run.state), ReadCheckHold(run.state), UnixNow(),
                              hours * 3600)) {
    case CheckTiming::kDue:
      return true;
    case CheckTiming::kRecent:
      LogMessage("check: skipped (within %lldh interval)", static_cast<long long>(hours));
      return false;
    case CheckTiming::kServerHold:
      LogMessage("check: skipped (the server asked to wait)");
      return false;
  }
  return false;
}

// Keeps what the server said about being asked again: the validators of the
// kept manifest, and a wait it asked for (logged once, as it arrives). An
// answer without a wait ends an earlier one.
void NoteServerAnswers(Json& state, const FetchedManifest& manifest) {
  if (manifest.kept) {
    WriteKeptManifest(state, *manifest.kept);
  } else {
    (void)DropKeptManifest(state);
  }
  const std::int64_t until = ServerHoldUntil(UnixNow(), manifest.retry_after_seconds);
  if (until != 0) {
    LogMessage("check: the server asks to wait until %s", FormatUtcTime(until).c_str());
  }
  if (until != 0 || manifest.outcome.http_status != 0) (void)WriteCheckHold(state, until);
}

// Records that a check ran, whatever the fetch gave: a failed fetch
// postpones the next unforced check too. False when the state file could not
// be written, and then nothing may be staged either.
bool RecordCheck(UpdatesRun& run, const ReleaseSource& source, const CheckRequest& request,
                 const FetchedManifest& manifest) {
  WriteLastCheck(run.state, UnixNow());
  NoteServerAnswers(run.state, manifest);
  if (manifest.fetched && manifest.rejection.empty() && manifest.document.error.empty()) {
    std::vector<std::string> withdrawn;
    for (const ListedRelease& listed : ListReleases(manifest.document, source.platform_key)) {
      if (listed.withdrawn && CompareVersions(listed.version, request.current_version) > 0) {
        withdrawn.push_back(listed.version);
      }
    }
    std::sort(withdrawn.begin(), withdrawn.end(),
              [](const std::string& a, const std::string& b) { return CompareVersions(a, b) > 0; });
    WriteWithdrawn(run.state, std::move(withdrawn));
  }
  (void)RaiseManifestSerial(run.state, manifest.serial);
  (void)TidyUpdatesFolder(run.state, UnixNow());  // saved below whether or not it changed
  return SaveRun(run);
}

// Stages `release`, newer than what the user has, and logs how it went.
void StageAndReport(UpdatesRun& run, const ReleaseSource& source, const OfferedRelease& release) {
  const InstallerFetch staging = StageReleaseLettingGo(run, source, release);
  switch (staging.end) {
    case FetchEnd::kDone:
      LogMessage("check: staged %s", release.version.c_str());
      return;
    case FetchEnd::kInProgress:
      LogMessage("check: a download of %s is in progress", release.version.c_str());
      return;
    case FetchEnd::kWithdrawn:
      LogMessage("check: %s was withdrawn during its download; not staged",
                 release.version.c_str());
      return;
    case FetchEnd::kFolderLost:
      LogMessage("check: %s", LockProblem(run.lock).c_str());
      LogMessage("check: download/verify failed for %s: %s", release.version.c_str(),
                 FetchEndText(staging.end));
      return;
    case FetchEnd::kFailed:
      if (staging.not_signed) {
        LogMessage("check: %s %s", release.version.c_str(), staging.why.c_str());
        return;
      }
      LogMessage("check: download/verify failed for %s: %s", release.version.c_str(),
                 staging.why.c_str());
      return;
  }
}

// The release the vendor's rules offer this installation; logs what was
// passed over and why.
ReleaseChoice ChooseOffered(const UpdatesRun& run, const ReleaseSource& source,
                            const CheckRequest& request, const FetchedManifest& manifest) {
  const std::optional<std::uint32_t> draw = ReadRolloutDraw(run.state);
  // RunCheck saved a draw before this; without one, the client is in no
  // partial rollout (the highest draw), never in all of them.
  const ReleaseChoice choice = ChooseFromManifest(
      manifest, {source.platform_key, request.channel, draw.value_or(UINT32_MAX), UnixNow(),
                 request.current_version, !source.public_keys.empty(), !source.public_keys.empty(),
                 ReadSystemVersion(), source.Scheme(),
                 run.policy.target_version_prefix.value_or(""), run.policy.RollsBack()});
  for (const std::string& notice : choice.notices) LogMessage("check: %s", notice.c_str());
  if (!choice.passed_over.empty()) LogMessage("check: %s", choice.passed_over.c_str());
  return choice;
}

// Takes back what this program downloaded of a release the vendor withdrew:
// the staged record and its installer (only a file of our own), and a partial
// download of it.
void ForgetWithdrawn(UpdatesRun& run, const ReleaseSource& source, const FetchedManifest& manifest,
                     std::optional<StagedRecord>& staged) {
  const std::vector<ListedRelease> listed = ListReleases(manifest.document, source.platform_key);
  const auto withdrawn = [&listed](const auto& matches) {
    return std::any_of(listed.begin(), listed.end(), [&](const ListedRelease& release) {
      return release.withdrawn && matches(release);
    });
  };
  const std::optional<PartialRecord> partial = ReadPartial(run.state);
  if (partial && withdrawn([&](const ListedRelease& r) { return r.url == partial->url; })) {
    // A download another check is still making is not staged: that check
    // finds the release among the `withdrawn` this one records.
    LogMessage(DropPartialDownloads(run)
                   ? "check: partial download of a withdrawn release dropped"
                   : "check: a download of a withdrawn release is in progress; it will not be "
                     "staged");
  }
  if (!staged || !withdrawn([&](const ListedRelease& r) { return r.version == staged->version; })) {
    return;
  }
  LogMessage("check: staged %s withdrawn", staged->version.c_str());
  DropStagedRecord(run);
  (void)RemoveOwnInstaller(staged->installer);
  staged.reset();
}

// A staged release the administrator's prefix now excludes, or a downgrade
// that nothing orders any more, is taken back: --apply would install it.
void ForgetUnordered(UpdatesRun& run, const ReleaseChoice& choice,
                     std::optional<StagedRecord>& staged) {
  if (!staged || choice.outcome == ReleaseChoice::Outcome::kUnusable) return;
  const std::string& prefix = run.policy.target_version_prefix.value_or("");
  if (!prefix.empty() && !staged->version.starts_with(prefix)) {
    LogMessage("check: staged %s outside TargetVersionPrefix %s, dropped", staged->version.c_str(),
               prefix.c_str());
  } else if (staged->downgrade &&
             !(choice.downgrade && choice.release.version == staged->version)) {
    LogMessage("check: staged downgrade to %s no longer ordered, dropped", staged->version.c_str());
  } else {
    return;
  }
  DropStagedRecord(run);
  RemoveOwnInstaller(staged->installer);
  staged.reset();
}

// A release marked critical (or no longer) after it was staged, or now
// ordered as a downgrade: the record says so too.
void MarkStaged(UpdatesRun& run, StagedRecord staged, bool critical, bool downgrade) {
  staged.critical = critical;
  staged.downgrade = downgrade;
  WriteStaged(run.state, staged);
  (void)SaveRun(run);  // a later check marks it again
}

// Keeps the announced release on record for the product to show; nothing of
// it is downloaded.
void RecordAvailable(UpdatesRun& run, const std::optional<AvailableRecord>& available) {
  if (available) {
    LogMessage("check: %s available%s%s", available->version.c_str(),
               available->url.empty() ? "" : ", see ", available->url.c_str());
  }
  if (WriteAvailable(run.state, available)) (void)SaveRun(run);  // the next check writes it again
}

// Acts on the manifest that was fetched: stages a newer release, or says
// why there is nothing to stage.
void ActOnManifest(UpdatesRun& run, const ReleaseSource& source, const CheckRequest& request,
                   const FetchedManifest& manifest) {
  std::optional<StagedRecord> staged = SoundStagedRecord(run);
  ReleaseChoice choice;
  if (manifest.fetched) {
    ForgetWithdrawn(run, source, manifest, staged);
    choice = ChooseOffered(run, source, request, manifest);
    ForgetUnordered(run, choice, staged);
  }
  const ListedRelease& offered = choice.release;
  const CheckDecision decision = DecideCheck(
      {manifest.fetched, choice.outcome, offered.version, offered.sha256, offered.critical, staged,
       request.current_version, !source.public_keys.empty(), choice.available, choice.downgrade});
  if (decision.update_available) RecordAvailable(run, decision.available);
  if (decision.drop_staged) {
    LogMessage("check: staged %s is not the signed release, dropped", staged->version.c_str());
    DropStagedRecord(run);
    staged.reset();
  }
  if (decision.drop_partials) DropPartialDownloads(run);
  if (decision.mark_critical || decision.mark_downgrade) {
    MarkStaged(run, *staged, offered.critical, choice.downgrade);
  }
  switch (decision.verdict) {
    case CheckVerdict::kFetchFailed:
      LogMessage("check: manifest fetch failed: %s", FailureReason(manifest.outcome).c_str());
      return;
    case CheckVerdict::kUnusable:
      LogMessage("check: manifest unusable: %s", choice.error.c_str());
      return;
    case CheckVerdict::kNothingOffered:
      LogMessage("check: nothing offered to this installation");
      return;
    case CheckVerdict::kNoRelease:
      LogMessage("check: no release for %s", source.platform_key.c_str());
      return;
    case CheckVerdict::kAlreadyStaged:
      LogMessage("check: already staged %s", offered.version.c_str());
      return;
    case CheckVerdict::kUpdateAvailable:
    case CheckVerdict::kDowngrade:
      LogMessage(decision.verdict == CheckVerdict::kDowngrade ? "check: downgrade %s -> %s"
                                                              : "check: update available %s -> %s",
                 request.current_version.c_str(), offered.version.c_str());
      // A large download on a metered link waits for another link, unless
      // the release is critical or the administrator allows it.
      if (!offered.critical && !run.policy.MeteredAllowed() && run.link_cost != nullptr &&
          run.link_cost() == LinkCost::kMetered) {
        LogMessage("check: metered connection; download of %s deferred", offered.version.c_str());
        return;
      }
      // An administrator who turned deltas off gets the full installer.
      StageAndReport(run, source,
                     {offered.version, offered.url, offered.sha256, offered.notes, offered.critical,
                      run.policy.DeltasOff() ? std::vector<ReleaseDelta>{} : offered.deltas,
                      offered.size, choice.downgrade, ManifestPinsFor(source, manifest.document)});
      return;
    case CheckVerdict::kUpToDate:
      LogMessage("check: up to date");
      return;
  }
}

// Fetches the manifest for the check, conditional on the kept copy, and
// the key sets it needs (kept in the run's state as they are accepted).
FetchedManifest FetchForCheck(UpdatesRun& run, const ReleaseSource& source,
                              const CheckRequest& request) {
  LogMessage("check: manifest url=%s", source.ManifestUrl().c_str());
  if (request.channel_refused) {
    LogMessage(
        "check: --channel takes 1 to 32 characters from a-z0-9- (no leading -); stable only");
  }
  const KeptManifest kept{run.folder, ReadKeptManifest(run.state)};
  // The installed and the staged release's entries are read wherever they
  // stand in the manifest: either may have been withdrawn.
  std::vector<std::string> held{request.current_version};
  if (const std::optional<StagedRecord> staged = ReadStaged(run.state)) {
    held.push_back(staged->version);
  }
  return FetchReleaseManifest(source, ReadManifestSerial(run.state), request.channel, &kept, held,
                              &run);
}

// The request as the administrator's policies leave it: their channel in
// place of the caller's.
CheckRequest UnderPolicy(const CheckRequest& asked, const MachinePolicy& policy) {
  CheckRequest request = asked;
  if (policy.channel) {
    request.channel = *policy.channel == "stable" ? "" : *policy.channel;
    request.channel_refused = false;
  }
  return request;
}

}  // namespace

int RunCheck(UpdatesRun& run, const ReleaseSource& source, const CheckRequest& asked) {
  LogMessage("check: current=%s force=%d", asked.current_version.c_str(), asked.force ? 1 : 0);
  const std::string in_force = run.policy.InForce();
  if (!in_force.empty()) LogMessage("check: policies in force: %s", in_force.c_str());
  if (run.policy.UpdatesOff()) {
    LogMessage("check: updates turned off by policy");
    return 0;
  }
  const CheckRequest request = UnderPolicy(asked, run.policy);
  // Held to the end but for the installer's transfer: the state is read,
  // changed and written as one step.
  std::string state_problem;
  if (!TakeFolder(run, &state_problem)) {
    LogMessage("check: %s", LockProblem(run.lock).c_str());
    return 0;
  }
  if (!state_problem.empty()) LogMessage("check: %s", state_problem.c_str());
  if (!request.force) {
    if (!UnforcedCheckDue(run)) return 0;
    // A random wait before the first request, so that machines started
    // together do not ask together; without the folder, which another run
    // may use meanwhile: the state is read again, and the check may be done.
    if (source.check_spread_seconds > 0) {
      const std::int64_t wait = SpreadWaitSeconds(source.check_spread_seconds);
      LogMessage("check: waiting %lld s before asking the server", static_cast<long long>(wait));
      LetGoFolder(run);
      std::this_thread::sleep_for(std::chrono::seconds(wait));
      if (!TakeFolder(run)) {
        LogMessage("check: %s", LockProblem(run.lock).c_str());
        return 0;
      }
      if (!UnforcedCheckDue(run)) return 0;
    }
  }

  TransferSession transfers;
  const FetchedManifest manifest = FetchForCheck(run, source, request);
  // Drawn once for good, when there is a manifest to use it on, and saved
  // with the check's record below; a refused manifest changes no more than
  // last_check.
  if (manifest.fetched && manifest.rejection.empty()) {
    (void)KeepRolloutDraw(run.state, DrawForRollout);
  }
  if (!RecordCheck(run, source, request, manifest)) {
    // What could not record last_check could not record a staged installer either.
    LogMessage("check: cannot write the state file; nothing downloaded");
    return 0;
  }
  if (!manifest.rejection.empty()) {
    LogMessage("check: manifest rejected: %s", manifest.rejection.c_str());
    return 0;
  }
  ActOnManifest(run, source, request, manifest);
  return 0;
}

}  // namespace solvane
