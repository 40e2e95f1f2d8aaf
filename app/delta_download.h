// Fetching a release's installer as a patch against the base this machine
// kept, the installer it last verified and started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/updates_run.h"
#include "release/release_choice.h"

namespace solvane {

// What a delta attempt came to.
struct DeltaFetch {
  bool tried = false;            // the release lists deltas and has a digest to check the result by
  bool done = false;             // the verified installer is at its final path
  bool folder_unusable = false;  // the folder's lock could not be taken again
  std::string base_version;      // "" when no base is kept
  std::string problem;           // when tried and not done: why, for the log
};

// Makes the installer at `final_path` (verified against the release's
// `sha256`) from one of `deltas` and the base, when one applies to it: the
// patch is downloaded (verified against its own digest, resumed within the
// call after a broken connection) to the updates folder, then applied into
// `final_path` + ".partial", which is renamed to `final_path` only when its
// digest is `sha256`. The folder is let go for the transfer and the apply,
// and held again on return unless `folder_unusable`. Whatever fails leaves
// no patch and no result behind; the caller then downloads in full. Not
// tried when a download of the installer at `url` is held for resume: a
// patch that keeps failing must not restart that download every day.
[[nodiscard]] DeltaFetch DownloadByDelta(UpdatesRun& run, const std::vector<ReleaseDelta>& deltas,
                                         const std::string& url, const std::string& sha256,
                                         std::int64_t size, const std::string& final_path);

}  // namespace solvane
