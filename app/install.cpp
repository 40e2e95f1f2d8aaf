#include <optional>

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
#include "platform/launch.h"
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

int InstallSteps(const ReleaseSource& source, WindowHandle window) {
  MarkStepActive(kFetchStep);
  std::string version, url, sha256, notes;
  // Only a signed build reads the state before the download.
  const std::int64_t highest_serial =
      source.public_keys.empty() ? 0 : ReadManifestSerial(LoadState());
  const FetchedManifest manifest = FetchReleaseManifest(source, highest_serial);
  std::string parse_error;
  if (!manifest.fetched) {
    LogMessage("install: manifest fetch failed: %s%s", FailureReason(manifest.outcome).c_str(),
               TechnicalDetail(manifest.outcome).c_str());
    ShowErrorMessage(window, WithReason(kNoReleaseMessage, PlainReason(manifest.outcome)).c_str());
    return 1;
  }
  if (!manifest.rejection.empty()) {
    LogMessage("install: manifest rejected: %s", manifest.rejection.c_str());
    ShowErrorMessage(
        window, WithReason(kNoReleaseMessage, "The release's signature is not valid.").c_str());
    return 1;
  }
  if (!ParseReleaseManifest(source, manifest, version, url, sha256, notes, parse_error)) {
    if (parse_error.empty()) {
      LogMessage("install: no release for %s", source.platform_key.c_str());
      ShowErrorMessage(window, kNoReleaseMessage);
    } else {
      LogMessage("install: manifest unusable: %s", parse_error.c_str());
      ShowErrorMessage(
          window,
          WithReason(kNoReleaseMessage, "The release information could not be read.").c_str());
    }
    return 1;
  }
  MarkStepDone(kFetchStep);
  SetStepText(kDownloadStep, DownloadLabel(version));
  MarkStepActive(kDownloadStep);
  SetProgress(0);

  // Held to the end but for the transfer, so that no check or apply changes
  // the folder meanwhile; released before an error message waits for the user.
  LockAttempt folder = LockUpdatesFolder();
  if (!folder.lock) LogMessage("install: %s", LockProblem(folder).c_str());
  const std::optional<std::string> name = InstallerFileName(url, kDefaultInstallName);
  if (folder.lock && !name) {
    LogMessage("install: the installer name of %s cannot be used", version.c_str());
  }
  if (!folder.lock || !name) {
    const bool busy = folder.busy;
    folder.lock.reset();
    ShowErrorMessage(window,
                     WithReason(kDownloadFailedMessage, busy ? kFolderBusyReason : "").c_str());
    return 1;
  }
  const std::string path = UpdatesDirectory() + "/" + *name;
  // The user is watching: a broken connection is retried at once, from the
  // bytes already held, and the bar carries on from them.
  const InstallerFetch download = DownloadInstaller(
      folder, url, sha256, path, [](int percent) { SetProgress(percent); },
      [] {
        MarkStepDone(kDownloadStep);
        MarkStepActive(kVerifyStep);
      },
      kInstallAttempts);
  if (download.outcome == InstallerDownloadOutcome::kInProgress) {
    LogMessage("install: a download of %s is in progress", version.c_str());
  } else if (download.outcome == InstallerDownloadOutcome::kFolderUnusable) {
    LogMessage("install: %s", LockProblem(folder).c_str());
  }
  if (download.outcome != InstallerDownloadOutcome::kDone) {
    folder.lock.reset();
    std::string plain = PlainReason(download.transfer);
    if (download.outcome == InstallerDownloadOutcome::kFailed) {
      const std::string why =
          download.problem.empty() ? FailureReason(download.transfer) : download.problem;
      LogMessage("install: download/verify failed for %s: %s%s", version.c_str(), why.c_str(),
                 TechnicalDetail(download.transfer).c_str());
    } else {
      plain = kFolderBusyReason;
    }
    ShowErrorMessage(window, WithReason(kDownloadFailedMessage, plain).c_str());
    return 1;
  }
  MarkStepDone(kVerifyStep);
  MarkStepActive(kLaunchStep);

  bool saved = true;
  std::optional<Json> saved_state;  // what the file holds now, when this run wrote it
  if (!version.empty()) {
    std::string state_problem;
    Json state = LoadState(&state_problem);
    if (!state_problem.empty()) LogMessage("install: %s", state_problem.c_str());
    WriteReleaseNotes(state, version, notes);
    (void)RaiseManifestSerial(state, manifest.serial);
    saved = SaveState(state);
    if (saved) saved_state = std::move(state);
  }
  std::string launch_error;
  if (!OpenWithShell(path, &launch_error)) {
    LogMessage("install: cannot start %s: %s", path.c_str(), launch_error.c_str());
    if (!launch_error.empty() && launch_error.back() != '.') launch_error += '.';
    ShowErrorMessage(window, WithReason(kLaunchFailedMessage, launch_error).c_str());
    return 1;
  }
  MarkStepDone(kLaunchStep);

  // Noted so that a later run removes the installer once it is done with it.
  // Losing the note only leaves the file behind, so it does not fail the run.
  if (const std::optional<std::string> stored = PathToUtf8(path)) {
    // The folder stayed locked since the save above, so what it wrote is current.
    Json state = saved_state ? std::move(*saved_state) : LoadState();
    const std::int64_t now = UnixNow();
    RememberLaunched(state, *stored, now);
    (void)TidyUpdatesFolder(state, now);  // saved below whether or not it changed
    (void)SaveState(state);
  }
  // The installer runs either way, but a lost record is not a clean success.
  return saved ? 0 : 1;
}

}  // namespace

int RunInstall(const ReleaseSource& source) {
  TransferSession transfers;
  const ScopedProgressWindow window;
  return InstallSteps(source, window.get());
}

}  // namespace solvane
