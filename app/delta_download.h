// Fetching a release's installer as a patch against the base this machine
// kept, the installer it last verified and started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/installer_download.h"
#include "app/updates_run.h"
#include "release/release_choice.h"

namespace solvane {

// What a delta attempt came to: kDone, kFailed (`why` says why; the caller
// downloads in full) or kFolderLost.
struct DeltaFetch {
  InstallerFetch result;
  std::string base_version;  // "" when no base is kept
};

// Makes the installer at `final_path` (verified against the release's
// `sha256`) from one of `deltas` and the base, when one applies to it: the
// patch is downloaded (verified against its own digest, resumed within the
// call after a broken connection) to the updates folder, then applied into
// `final_path` + ".partial", which is renamed to `final_path` only when its
// digest is `sha256`. Lets the folder go, as its name says, for the transfer
// and the apply; it is held again on return, and `run.state` read afresh,
// unless the end is kFolderLost. Whatever fails leaves no patch and no result
// behind. nullopt, the folder never let go, when no delta is tried: the
// release lists none or has no digest to check the result by, or a download
// of the installer at `url` is held for resume (a patch that keeps failing
// must not restart that download every day).
[[nodiscard]] std::optional<DeltaFetch> DownloadByDeltaLettingGo(
    UpdatesRun& run, const std::vector<ReleaseDelta>& deltas, const std::string& url,
    const std::string& sha256, std::int64_t size, const std::string& final_path);

}  // namespace solvane
