// The release manifest as the workflows receive it: fetched, and when the
// build carries release keys, checked against its signature and its signed
// serial and expiry before anything in it is used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/release_source.h"
#include "app/updates_run.h"
#include "net/transfer.h"
#include "release/manifest.h"
#include "release/release_choice.h"
#include "state/records.h"

namespace solvane {

struct FetchedManifest {
  bool fetched = false;         // the manifest transfer completed with status 200
  TransferOutcome outcome;      // what became of the manifest transfer
  std::string body;             // whatever arrived, also on failure
  std::string rejection;        // not "": refused for this short reason; offer no release
  std::int64_t serial = 0;      // the accepted manifest's serial; 0 when unsigned
  ManifestDocument document;    // the body as read, once fetched (and its signature verified)
  bool from_kept_copy = false;  // the server answered 304: `body` is the kept copy
  // What the state's `kept_manifest` becomes: nullopt drops it.
  std::optional<KeptManifestRecord> kept;
  // A 429 or 503 answer's Retry-After in seconds; 0 when none came.
  std::int64_t retry_after_seconds = 0;
};

// The last accepted manifest and signature kept in `folder` (kKeptManifestFileName,
// kKeptSignatureFileName), with the validators the server sent for them.
struct KeptManifest {
  std::string folder;
  std::optional<KeptManifestRecord> record;
};

// Fetches the manifest, logging each transfer's route and any libcurl
// failure ("FetchManifest: ..."). With release keys built in, a fetched manifest is
// also refused unless manifest.json.minisig (fetched with the manifest's
// limits) verifies with one of them and its serial is at least
// `highest_serial` and it has not expired. The document keeps `channel`'s
// versions too when it is not "".
//
// With `keeping`, the fetches are conditional on the kept copies, and a 304
// brings the kept copy in as if it had just arrived: it is checked exactly
// as a fresh one, and dropped (files and record) when it fails. A fresh
// accepted manifest that came with validators replaces the kept copies.
//
// The document keeps the entries of the versions in `held` wherever they
// stand (ReadManifestDocument).
//
// With `run`, in a build with root keys, the release keys are those of the
// key set the run's state holds; a signature by a key that set does not
// hold sends the fetch along the key chain first (FollowKeyChain), which
// keeps each set it accepts in the run's state, and then the serial counts
// from the new set's floor. A signature by a key of a replaced set is
// refused as "signed by a key no longer trusted".
[[nodiscard]] FetchedManifest FetchReleaseManifest(const ReleaseSource& source,
                                                   std::int64_t highest_serial,
                                                   const std::string& channel = "",
                                                   const KeptManifest* keeping = nullptr,
                                                   const std::vector<std::string>& held = {},
                                                   UpdatesRun* run = nullptr);

// ChooseRelease on the fetched manifest's document. A manifest that cannot
// be read prints "SolvaneSetup: manifest parse error -- <what>" on standard
// error, as the program always has.
[[nodiscard]] ReleaseChoice ChooseFromManifest(const FetchedManifest& manifest,
                                               const ReleaseQuery& query);

}  // namespace solvane
