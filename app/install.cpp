#include "app/installer_name.h"
#include "app/workflows.h"
#include "constants.h"
#include "log/activity_log.h"
#include "net/transfer.h"
#include "net/verify.h"
#include "platform/fs.h"
#include "platform/launch.h"
#include "state/manifest.h"
#include "state/paths.h"
#include "state/records.h"
#include "state/state_file.h"
#include "ui/label_text.h"
#include "ui/progress_window.h"

namespace solvane {
namespace {

enum Step { kFetchStep = 0, kDownloadStep = 1, kVerifyStep = 2, kLaunchStep = 3 };

int InstallSteps(const ReleaseSource& source, WindowHandle window) {
  MarkStepActive(kFetchStep);
  std::string body, version, url, sha256, notes;
  if (!FetchManifest(source.ManifestUrl(), body) ||
      !ParseManifest(body, source.platform_key, version, url, sha256, notes)) {
    ShowErrorMessage(window, kNoReleaseMessage);
    return 1;
  }
  MarkStepDone(kFetchStep);
  SetStepText(kDownloadStep, DownloadLabel(version));
  MarkStepActive(kDownloadStep);
  SetProgress(0);

  const std::optional<std::string> name = InstallerFileName(url, kDefaultInstallName);
  if (!name) {
    ShowErrorMessage(window, kDownloadFailedMessage);
    return 1;
  }
  const std::string path = UpdatesDirectory() + "/" + *name;
  bool ok = DownloadFile(url, path, [](int percent) { SetProgress(percent); });
  if (ok) {
    MarkStepDone(kDownloadStep);
    MarkStepActive(kVerifyStep);
    ok = sha256.empty() || VerifySha256(path, sha256);
  }
  if (!ok) {
    ShowErrorMessage(window, kDownloadFailedMessage);
    RemovePath(path);
    return 1;
  }
  MarkStepDone(kVerifyStep);
  MarkStepActive(kLaunchStep);

  bool saved = true;
  if (!version.empty()) {
    std::string state_problem;
    Json state = LoadState(&state_problem);
    if (!state_problem.empty()) LogMessage("install: %s", state_problem.c_str());
    state["release_notes"] = ReleaseNotesJson(version, notes);
    saved = SaveState(state);
  }
  if (!OpenWithShell(path)) return 1;
  MarkStepDone(kLaunchStep);
  // The installer runs either way, but a lost record is not a clean success.
  return saved ? 0 : 1;
}

}  // namespace

int RunInstall(const ReleaseSource& source) {
  TransferSession transfers;
  const WindowHandle window = CreateProgressWindow();
  const int result = InstallSteps(source, window);
  DestroyProgressWindow(window);
  return result;
}

}  // namespace solvane
