// The trust floor: what keeps this installation safe from an older signed
// manifest and from replaced keys, and in its place in staged rollouts: the
// key set accepted last (with the release key ids it replaced), the highest
// manifest serial accepted under it, and the rollout draw. The floor is
// ordered by key set version, then serial: a later key set brings its own
// serial floor, so a serial pushed to the top by a stolen key is undone by
// the rotation that retires the key. The state document holds all of it
// (`key_set`, `retired_key_ids`, `manifest_serial`, `rollout_draw`);
// "Trust.json" beside it holds it again, so that a state file set aside as
// damaged, or lost, takes none of it with it. Nothing a server sends reaches
// that file but what a signature vouched for.
#pragma once

#include <cstdint>
#include <optional>

#include "state/records.h"
#include "state/state_file.h"

namespace solvane {

struct TrustFloor {
  std::optional<KeySetRecord> key_set;  // none: the build's own, set 1
  std::int64_t manifest_serial = 0;     // the highest accepted under that set
  std::optional<std::uint32_t> rollout_draw;

  bool operator==(const TrustFloor&) const = default;
};

// The floor kept in "Trust.json": no floor when the file is missing, damaged
// or unreadable. Throws as TrustFilePath does.
[[nodiscard]] TrustFloor LoadTrustFloor();

// The floor the state document holds.
[[nodiscard]] TrustFloor TrustFloorOf(const Json& state);

// Brings the kept floor into `state`: its key set and serial when the set is
// later than the state's, its serial when the set is the same and the serial
// higher, its draw in place of the state's (a draw is never replaced).
// True when `state` changed.
bool RestoreTrustFloor(Json& state, const TrustFloor& floor);

// Raises the kept floor to what `state` holds: a later key set with its
// serial, or a higher serial under the same set, and the state's draw when
// none is kept. False when that needed writing the file
// and the write failed; the state file still holds the floor then.
bool KeepTrustFloor(const Json& state);

}  // namespace solvane
