// The key sets after the build's own, as a check or a fresh install meets
// them: the set this installation trusts, read from its state, and the walk
// along keys/<N>.json on the release server when the manifest is signed by a
// key that set does not hold. Only a build with root keys walks.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "app/release_source.h"
#include "app/updates_run.h"
#include "release/key_chain.h"

namespace solvane {

// Most key sets one run accepts; a longer chain goes on at the next run.
inline constexpr int kMaxKeySetsPerRun = 8;

struct TrustedKeys {
  KeySet current;
  std::vector<KeyId> retired;  // release keys of the sets `current` replaced
};

// The key set `state` holds, in a build with root keys, else the build's own
// (set 1); nullopt when the build's keys are unusable. A kept set that no
// longer reads is logged under `log_word`, and the build's is trusted.
[[nodiscard]] std::optional<TrustedKeys> TrustedKeysOf(const ReleaseSource& source,
                                                       const Json& state,
                                                       const std::string& log_word);

// When `signature` names a key that `keys.current` does not hold and no
// replaced set held, and that set has root keys: fetches keys/<N>.json and
// its signatures for N = current + 1 and on, until a set holds the key, a
// set is missing or refused, or kMaxKeySetsPerRun were accepted. Each
// accepted set is written into `run.state` and saved at once (its serial
// floor replacing the manifest serial) and logged under the run's word;
// `keys` ends at the last one. True when any set was accepted.
bool FollowKeyChain(UpdatesRun& run, const ReleaseSource& source, TrustedKeys& keys,
                    std::string_view signature);

// Whether `signature` names a release key of a replaced key set.
bool SignedByRetiredKey(const TrustedKeys& keys, std::string_view signature);

}  // namespace solvane
