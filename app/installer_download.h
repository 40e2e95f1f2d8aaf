// Fetching an installer into the updates folder so that its final name only
// ever holds a whole, verified file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/updates_run.h"
#include "net/installer_transfer.h"

namespace solvane {

// How getting an installer (or a patch for one) into place ended: the one
// shape of the full download, the delta and the check's staging.
enum class FetchEnd {
  kDone,        // the verified file is at its final path; the folder is held again
  kFailed,      // the transfer, the patch or the verification failed: `why` says which
  kInProgress,  // another run is downloading to the same partial file
  kFolderLost,  // the folder's lock could not be taken back (`run.lock` says why),
                // whatever the transfer came to: the caller stops and saves nothing
  kWithdrawn,   // the release was withdrawn while it was being downloaded
};

// Short fixed text for an end: "done", "failed", "in progress", "the updates
// folder could not be locked again", "withdrawn".
const char* FetchEndText(FetchEnd end);

// What a fetch came to, with what the workflow needs to say why.
struct [[nodiscard]] InstallerFetch {
  FetchEnd end = FetchEnd::kFailed;
  TransferOutcome transfer;  // the transfer's own outcome, when one ran
  std::string why;           // not "" when anything failed: what, for the log
  bool not_signed = false;   // kFailed: the installer lacks the build's publisher signature
};

// Downloads `url` to `final_path` + ".partial", verifies it there against
// `sha256` (skipped when "") and only then renames it to `final_path`,
// replacing what was there. `progress` receives the whole file's per cent and
// `verifying`, when set, is called once the bytes are all in.
//
// Called holding the folder in `run`; lets it go, as its name says: it takes
// a lock of its own on the partial file (kInProgress when another run holds
// it), lets the folder go for the transfer, so that nothing waits on a slow
// link, and takes it back before the rename, reading `run.state` afresh. On
// every end but kFolderLost the caller holds the folder again, and
// `run.state` is what is on the disk now, not what it read before the call.
// A link found at the partial name is removed, never written through.
//
// The digest is taken as the bytes arrive and the file is on the disk before
// the rename. A download that stops part-way keeps its bytes and describes
// them under `partial` in the state file (saved at once, under a short hold
// of the folder, so that a killed process leaves it too); a later call for
// the same url and digest resumes from them. `attempts` tries are made in
// this call after a broken connection. A `partial` record of another release
// is dropped with its file.
//
// Logs the transfer's route ("FetchManifest: route ..."). A verified file
// that cannot be renamed into place counts as one that cannot be written. On
// failure nothing but a resumable partial file is left, and an existing file
// at `final_path` was neither opened, truncated nor deleted.
//
// With a `size` (0: unknown), the transfer stops at the first byte beyond it
// (kOverSize), and none starts when the disk holding the folder has less
// free than the bytes still to come plus kFreeSpaceMargin: that ends as one
// that cannot be written, before the first byte.
InstallerFetch DownloadInstallerLettingGo(UpdatesRun& run, const std::string& url,
                                          const std::string& sha256, std::int64_t size,
                                          const std::string& final_path,
                                          const ProgressCallback& progress,
                                          const std::function<void()>& verifying = nullptr,
                                          int attempts = 1);

// Room kept free on the disk beyond the download itself, for the state file,
// the log and whatever else the user is writing meanwhile.
inline constexpr std::int64_t kFreeSpaceMargin = 16 * 1024 * 1024;

// Whether `free_bytes` on the disk leave room for `to_come` more bytes and
// the margin.
[[nodiscard]] bool EnoughSpaceFor(std::int64_t free_bytes, std::int64_t to_come);

// Forgets a partial download no longer wanted: every partial file in the
// updates folder goes but one another run is downloading into, and, when
// none was, the `partial` record of the run's state (saved when it had one).
// True when no other run was downloading.
bool DropPartialDownloads(UpdatesRun& run);

}  // namespace solvane
