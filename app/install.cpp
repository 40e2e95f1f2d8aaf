// The fresh install: fetches the manifest, downloads and verifies the
// installer under a progress window, and starts it.
#include <optional>

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
#include "platform/launch.h"
#include "platform/system_version.h"
#include "release/release_choice.h"
#include "state/installer_name.h"
#include "state/paths.h"
#include "state/records.h"
#include "state/state_file.h"
#include "ui/label_text.h"
#include "ui/progress_window.h"

namespace solvane {
namespace {

// The installer's name when its URL has no path.
constexpr const char kDefaultInstallName[] = "Solvane-setup.exe";
constexpr const char kNoReleaseMessage[] = "Could not find a release for this platform.";
constexpr const char kDownloadFailedMessage[] = "Download failed or verification error.";
constexpr const char kLaunchFailedMessage[] = "The installer could not be started.";
constexpr const char kFolderBusyReason[] = "Another Solvane Setup is using the download folder.";

// The window's fixed sentence for the step that failed, then why in plain words.
std::string WithReason(const char* fixed, const std::string& reason) {
  return reason.empty() ? std::string(fixed) : std::string(fixed) + " " + reason;
}

enum Step { kFetchStep = 0, kDownloadStep = 1, kVerifyStep = 2, kLaunchStep = 3 };

// The release the manifest names for this platform.
struct NamedRelease {
  std::string version, url, sha256, notes;
  std::int64_t size = 0;    // the installer's bytes; 0 when the manifest gives none
  std::int64_t serial = 0;  // the signed manifest's serial; 0 when unsigned
  std::uint32_t draw = 0;   // this installation's rollout draw, kept with the notes
  std::vector<std::string> publisher_pins = {};  // what a signed manifest adds to the build's
};

// Shows `message` and fails the install. The folder is let go first: the
// message waits for the user, and no other run should wait with it.
int Refuse(UpdatesRun& run, WindowHandle window, const std::string& message) {
  LetGoFolder(run);
  ShowErrorMessage(window, message.c_str());
  return 1;
}

// The release the vendor's rules offer this installation: the stable one,
// or an earlier one when that one is held back. Logs what was passed over
// and why.
ReleaseChoice FollowRollout(const ReleaseSource& source, const FetchedManifest& manifest,
                            std::uint32_t draw) {
  const ReleaseChoice choice =
      ChooseFromManifest(manifest, {source.platform_key, "", draw, UnixNow(), std::nullopt,
                                    !source.public_keys.empty(), !source.public_keys.empty(),
                                    ReadSystemVersion(), source.Scheme()});
  for (const std::string& notice : choice.notices) LogMessage("install: %s", notice.c_str());
  if (!choice.passed_over.empty()) LogMessage("install: %s", choice.passed_over.c_str());
  return choice;
}

// The fetch step: the release to install, or nullopt once the user was told
// why there is none.
std::optional<NamedRelease> FetchRelease(UpdatesRun& run, const ReleaseSource& source,
                                         WindowHandle window) {
  // Only a signed build holds a serial to compare with.
  const FetchedManifest manifest =
      FetchReleaseManifest(source, source.public_keys.empty() ? 0 : ReadManifestSerial(run.state),
                           "", nullptr, {}, &run);
  NamedRelease release;
  release.serial = manifest.serial;
  if (!manifest.fetched) {
    LogMessage("install: manifest fetch failed: %s%s", FailureReason(manifest.outcome).c_str(),
               TechnicalDetail(manifest.outcome).c_str());
    Refuse(run, window, WithReason(kNoReleaseMessage, PlainReason(manifest.outcome)));
    return std::nullopt;
  }
  if (!manifest.rejection.empty()) {
    LogMessage("install: manifest rejected: %s", manifest.rejection.c_str());
    Refuse(run, window, WithReason(kNoReleaseMessage, "The release's signature is not valid."));
    return std::nullopt;
  }
  // Saved with the release notes once the installer is there: a failed
  // install leaves no state file behind, and so no draw either.
  release.draw = KeepRolloutDraw(run.state, DrawForRollout);
  const ReleaseChoice choice = FollowRollout(source, manifest, release.draw);
  switch (choice.outcome) {
    case ReleaseChoice::Outcome::kFound:
      release.version = choice.release.version;
      release.url = choice.release.url;
      release.sha256 = choice.release.sha256;
      release.notes = choice.release.notes;
      release.size = choice.release.size;
      release.publisher_pins = ManifestPinsFor(source, manifest.document);
      return release;
    case ReleaseChoice::Outcome::kUnusable:
      LogMessage("install: manifest unusable: %s", choice.error.c_str());
      Refuse(run, window,
             WithReason(kNoReleaseMessage, "The release information could not be read."));
      return std::nullopt;
    case ReleaseChoice::Outcome::kHeldBack:
    case ReleaseChoice::Outcome::kNoRelease:
      break;
  }
  LogMessage("install: no release for %s", source.platform_key.c_str());
  Refuse(run, window,
         WithReason(kNoReleaseMessage, choice.needs_system.empty()
                                           ? ""
                                           : "It needs " + choice.needs_system + " or later."));
  return std::nullopt;
}

// The download and verify steps, into `path`, letting the folder go for the
// transfer: true once the verified installer is there, the folder held again
// and `run.state` read afresh.
bool DownloadStepLettingGo(UpdatesRun& run, WindowHandle window, const NamedRelease& release,
                           const std::string& path) {
  // The user is watching: a broken connection is retried at once, from the
  // bytes already held, and the bar carries on from them.
  const InstallerFetch download = DownloadInstallerLettingGo(
      run, release.url, release.sha256, release.size, path,
      [](int percent) { SetProgress(percent); },
      [] {
        MarkStepDone(kDownloadStep);
        MarkStepActive(kVerifyStep);
      },
      kInstallAttempts);
  std::string plain = kFolderBusyReason;
  switch (download.end) {
    case FetchEnd::kDone:
      return true;
    case FetchEnd::kInProgress:
      LogMessage("install: a download of %s is in progress", release.version.c_str());
      break;
    case FetchEnd::kFolderLost:
      LogMessage("install: %s", LockProblem(run.lock).c_str());
      if (download.transfer.ok()) break;
      [[fallthrough]];  // and why the transfer failed
    case FetchEnd::kFailed:
    case FetchEnd::kWithdrawn:
      LogMessage("install: download/verify failed for %s: %s%s", release.version.c_str(),
                 download.why.c_str(), TechnicalDetail(download.transfer).c_str());
      plain = PlainReason(download.transfer);
      break;
  }
  Refuse(run, window, WithReason(kDownloadFailedMessage, plain));
  return false;
}

// The launch step. Exit code 0 when the installer started and what this
// run learned was saved.
int LaunchStep(UpdatesRun& run, const ReleaseSource& source, WindowHandle window,
               const NamedRelease& release, const std::string& path) {
  // Held from the check to the start, so that what starts is what was checked.
  std::string launch_error;
  HeldFileHandle held = HoldFile(path, &launch_error);
  if (held) {
    const PublisherRefusal refusal = CheckInstallerPublisher(
        *held, path, source, release.publisher_pins, "install", release.version);
    if (refusal.refused()) {
      LogMessage("install: %s not started: %s", release.version.c_str(), refusal.Text().c_str());
      held.reset();
      (void)RemovePath(path);  // never recorded: nothing else names it
      return Refuse(run, window,
                    WithReason(kLaunchFailedMessage, "It is not signed by " + refusal.names + " (" +
                                                         refusal.reason + ")."));
    }
  }
  bool saved = true;
  if (!release.version.empty()) {
    WriteReleaseNotes(run.state, release.version, release.notes);
    // The state was read again after the download: the draw goes back in.
    KeepRolloutDraw(run.state, release.draw);
    (void)RaiseManifestSerial(run.state, release.serial);
    saved = SaveRun(run);
  }
  if (!held || !LaunchHeldFile(*held, path, &launch_error)) {
    LogMessage("install: cannot start %s: %s", path.c_str(), launch_error.c_str());
    if (!launch_error.empty() && launch_error.back() != '.') launch_error += '.';
    return Refuse(run, window, WithReason(kLaunchFailedMessage, launch_error));
  }
  MarkStepDone(kLaunchStep);

  // Noted so that a later run removes the installer once it is done with it,
  // or keeps it as the base of the next delta update. Losing the note only
  // leaves the file behind, so it does not fail the run.
  if (const std::optional<std::string> stored = PathToUtf8(path)) {
    const std::int64_t now = UnixNow();
    RememberStarted(run.state, *stored, release.version, release.sha256, now);
    (void)TidyUpdatesFolder(run.state, now);  // saved below whether or not it changed
    (void)SaveRun(run);
  }
  // The installer runs either way, but a lost record is not a clean success.
  return saved ? 0 : 1;
}

int InstallSteps(UpdatesRun& run, const ReleaseSource& source, WindowHandle window) {
  MarkStepActive(kFetchStep);
  // Held to the end but for the transfer, so that no check or apply changes
  // the folder meanwhile.
  std::string state_problem;
  if (!TakeFolder(run, &state_problem)) {
    LogMessage("install: %s", LockProblem(run.lock).c_str());
    return Refuse(run, window,
                  WithReason(kDownloadFailedMessage, run.lock.busy ? kFolderBusyReason : ""));
  }
  if (!state_problem.empty()) LogMessage("install: %s", state_problem.c_str());
  const std::optional<NamedRelease> release = FetchRelease(run, source, window);
  if (!release) return 1;
  MarkStepDone(kFetchStep);
  SetStepText(kDownloadStep, DownloadLabel(release->version));
  MarkStepActive(kDownloadStep);
  SetProgress(0);

  const std::optional<std::string> name = InstallerFileName(release->url, kDefaultInstallName);
  if (!name) {
    LogMessage("install: the installer name of %s cannot be used", release->version.c_str());
    return Refuse(run, window, kDownloadFailedMessage);
  }
  const std::string path = run.folder + "/" + *name;
  if (!DownloadStepLettingGo(run, window, *release, path)) return 1;
  MarkStepDone(kVerifyStep);
  MarkStepActive(kLaunchStep);
  return LaunchStep(run, source, window, *release, path);
}

}  // namespace

int RunInstall(UpdatesRun& run, const ReleaseSource& source) {
  TransferSession transfers;
  const ScopedProgressWindow window;
  return InstallSteps(run, source, window.get());
}

}  // namespace solvane
