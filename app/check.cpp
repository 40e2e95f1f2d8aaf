#include "app/installer_name.h"
#include "app/workflows.h"
#include "constants.h"
#include "log/activity_log.h"
#include "net/transfer.h"
#include "net/verify.h"
#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "state/manifest.h"
#include "state/paths.h"
#include "state/records.h"
#include "state/state_file.h"

namespace solvane {
namespace {

// Downloads and verifies the release, then records it as staged. False when
// any of it failed; the file is then gone and `state` keeps its old record.
bool StageRelease(Json& state, const std::string& version, const std::string& url,
                  const std::string& sha256, const std::string& notes) {
  const std::optional<std::string> name = InstallerFileName(url, kDefaultUpdateName);
  if (!name) return false;  // nothing was created, so nothing to delete
  const std::string path = UpdatesDirectory() + "/" + *name;

  bool ok = DownloadFile(url, path, nullptr);
  // An empty digest means the release is published unverified.
  if (ok && !sha256.empty()) ok = VerifySha256(path, sha256);
  const std::optional<std::string> stored_path = ok ? PathToUtf8(path) : std::nullopt;
  if (stored_path) {
    Json staged_state = state;
    staged_state["staged"] = StagedJson({version, *stored_path, sha256, notes, UtcDate(UnixNow())});
    if (SaveState(staged_state)) {
      state = std::move(staged_state);
      return true;
    }
  }
  RemovePath(path);
  return false;
}

}  // namespace

int RunCheck(const ReleaseSource& source, const std::string& current_version, bool force) {
  LogMessage("check: current=%s force=%d", current_version.c_str(), force ? 1 : 0);
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
  std::string body;
  const bool fetched = FetchManifest(manifest_url, body);

  // A failed fetch postpones the next unforced check too.
  state["last_check"] = UnixNow();
  if (!SaveState(state)) {
    // What could not record last_check could not record a staged installer either.
    LogMessage("check: cannot write the state file; nothing downloaded");
    return 0;
  }

  std::string version, url, sha256, notes;
  if (fetched && ParseManifest(body, source.platform_key, version, url, sha256, notes) &&
      CompareVersions(version, current_version) > 0) {
    LogMessage("check: update available %s -> %s", current_version.c_str(), version.c_str());
    if (StageRelease(state, version, url, sha256, notes)) {
      LogMessage("check: staged %s", version.c_str());
    } else {
      LogMessage("check: download/verify failed for %s", version.c_str());
    }
  } else if (!body.empty()) {
    LogMessage("check: up to date");  // intended: also a failed fetch that brought a body
  } else {
    LogMessage("check: manifest fetch failed!!!");
  }
  return 0;
}

}  // namespace solvane
