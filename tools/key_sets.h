// The key sets of a release tree: keys/1.json records the build's own set
// (no client fetches it), keys/<N>.json and keys/<N>.json.minisig for N >= 2
// replace release or root keys, each signed by root keys of the set before
// and of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "release/key_chain.h"
#include "tools/release_tree.h"

namespace solvane::publish {

// Writes keys/1.json: the build's release keys, root keys and threshold.
// Refuses a tree that already has one, or keys a build would refuse.
Outcome RecordBuildKeySet(const std::string& root, const KeySet& build);

// The next key set after the tree's newest: the newest with the release
// keys, or the root keys and threshold, replaced as given.
struct KeyRotation {
  std::string root;
  std::vector<std::string> release_key_files;  // .pub files; empty: kept
  std::vector<std::string> root_key_files;     // .pub files; empty: kept
  std::int64_t root_threshold = 0;             // with root_key_files
  std::vector<std::string> signing_key_files;  // root secret keys
  // The serial the new set counts from; nullopt: the manifest's serial + 1.
  std::optional<std::int64_t> serial_floor;
};

// Writes keys/<N>.json and its signatures by the signing keys, once the
// client would accept them from the newest set: refused (nothing written)
// with fewer signatures than either threshold, or a signing key that is a
// root key of neither set.
Outcome RotateKeys(const KeyRotation& rotation);

// Walks the tree's key sets from `first` (the build's set; nullopt: the
// tree's keys/1.json) as a client does, listing each accepted set and
// reporting the first that is refused, and whether the newest set holds the
// key manifest.json.minisig names.
Outcome VerifyKeyChain(const std::string& root, const std::optional<KeySet>& first);

}  // namespace solvane::publish
