// The installer's own signature, checked on the handle that starts it: the
// one step the check, --apply and the fresh install share.
#pragma once

#include <string>
#include <vector>

#include "app/release_source.h"
#include "platform/launch.h"
#include "release/manifest.h"

namespace solvane {

// Why an installer may not be staged or started; empty when it may.
struct PublisherRefusal {
  std::string names;   // the names the build accepts, "A or B"
  std::string reason;  // "" when nothing was refused
  bool refused() const { return !reason.empty(); }
  // "not signed by <names>: <reason>", as the log says it.
  std::string Text() const { return "not signed by " + names + ": " + reason; }
};

// Whether the held installer of `version` may be staged or started under the
// build's publisher names (always, when the build has none). `manifest_pins`
// are the keys a signed manifest added to the build's pins (a build without
// pins takes any key, and they add nothing to that). An installer accepted
// although the revocation servers could not be asked is logged as such,
// under `word`.
PublisherRefusal CheckInstallerPublisher(HeldFile& file, const std::string& path,
                                         const ReleaseSource& source,
                                         const std::vector<std::string>& manifest_pins,
                                         const char* word, const std::string& version);

// The same for a file not yet held; one that cannot be opened is refused.
PublisherRefusal CheckInstallerPublisherAt(const std::string& path, const ReleaseSource& source,
                                           const std::vector<std::string>& manifest_pins,
                                           const char* word, const std::string& version);

// The pins a manifest adds: its `publishers` when the build has release keys,
// so that only a signed manifest names any; none otherwise.
std::vector<std::string> ManifestPinsFor(const ReleaseSource& source,
                                         const ManifestDocument& manifest);

}  // namespace solvane
