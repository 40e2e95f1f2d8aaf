// The release manifest as the workflows receive it: fetched, and when the
// build carries release keys, checked against its signature and its signed
// serial and expiry before anything in it is used.
#pragma once

#include <cstdint>
#include <string>

#include "app/release_source.h"
#include "net/transfer.h"
#include "state/manifest.h"

namespace solvane {

struct FetchedManifest {
  bool fetched = false;       // the manifest transfer completed with status 200
  TransferOutcome outcome;    // what became of the manifest transfer
  std::string body;           // whatever arrived, also on failure
  std::string rejection;      // not "": refused for this short reason; offer no release
  std::int64_t serial = 0;    // the accepted manifest's serial; 0 when unsigned
  ManifestDocument document;  // the body as read, once fetched (and its signature verified)
};

// Fetches the manifest, logging each transfer's route and any libcurl
// failure ("FetchManifest: ..."). With release keys built in, a fetched manifest is
// also refused unless manifest.json.minisig (fetched with the manifest's
// limits) verifies with one of them and its serial is at least
// `highest_serial` and it has not expired. The document keeps `channel`'s
// versions too when it is not "".
[[nodiscard]] FetchedManifest FetchReleaseManifest(const ReleaseSource& source,
                                                   std::int64_t highest_serial,
                                                   const std::string& channel = "");

// ParseManifest of the fetched manifest's document, with the source's platform key. A parse
// error prints "SolvaneSetup: manifest parse error -- <what>" on standard
// error, as the program always has, and is put in `error`; false with an
// empty `error` means the manifest names no release for the platform.
[[nodiscard]] bool ParseReleaseManifest(const ReleaseSource& source,
                                        const FetchedManifest& manifest, std::string& version,
                                        std::string& url, std::string& sha256, std::string& notes,
                                        std::string& error);

}  // namespace solvane
