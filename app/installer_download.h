// Fetching an installer into the updates folder so that its final name only
// ever holds a whole, verified file.
#pragma once

#include <functional>
#include <string>

#include "net/transfer.h"
#include "state/state_file.h"

namespace solvane {

// Downloads `url` to `final_path` + ".partial", verifies it there against
// `sha256` (skipped when "") and only then renames it to `final_path`,
// replacing what was there. `progress` receives the whole file's per cent and
// `verifying`, when set, is called once the bytes are all in.
//
// The digest is taken as the bytes arrive and the file is on the disk before
// the rename. A download that stops part-way keeps its bytes and describes
// them under `partial` in `state` (saved at once, so that a killed process
// leaves it too); a later call for the same url and digest resumes from them.
// `attempts` tries are made in this call after a broken connection. A
// `partial` record of another release is dropped with its file.
//
// Logs the transfer's route ("FetchManifest: route ..."). Ok only when the
// verified file is at `final_path`; on any failure (a file that cannot be
// renamed into place counts as one that cannot be written) nothing but a
// resumable partial file is then left, and an existing file at `final_path`
// was neither opened, truncated nor deleted. The caller holds the updates
// folder's lock.
[[nodiscard]] TransferOutcome DownloadInstaller(Json& state, const std::string& url,
                                                const std::string& sha256,
                                                const std::string& final_path,
                                                const ProgressCallback& progress,
                                                const std::function<void()>& verifying = nullptr,
                                                int attempts = 1);

// Forgets a partial download no longer wanted: every partial file in the
// updates folder goes, and the `partial` record of `state` (saved when it had one).
void DropPartialDownloads(Json& state);

}  // namespace solvane
