// The trust floor: what keeps this installation safe from an older signed
// manifest and in its place in staged rollouts, the highest manifest serial
// accepted and the rollout draw. The state document holds both as
// `manifest_serial` and `rollout_draw`; "Trust.json" beside it holds them
// again, so that a state file set aside as damaged, or lost, takes neither
// with it. Nothing a server sends reaches that file but a signed serial.
#pragma once

#include <cstdint>
#include <optional>

#include "state/state_file.h"

namespace solvane {

struct TrustFloor {
  std::int64_t manifest_serial = 0;
  std::optional<std::uint32_t> rollout_draw;

  bool operator==(const TrustFloor&) const = default;
};

// The floor kept in "Trust.json": no floor when the file is missing, damaged
// or unreadable. Throws as TrustFilePath does.
[[nodiscard]] TrustFloor LoadTrustFloor();

// The floor the state document holds.
[[nodiscard]] TrustFloor TrustFloorOf(const Json& state);

// Brings the kept floor into `state`: its serial when higher than the
// state's, its draw in place of the state's (a draw is never replaced).
// True when `state` changed.
bool RestoreTrustFloor(Json& state, const TrustFloor& floor);

// Raises the kept floor to what `state` holds: a higher serial, and the
// state's draw when none is kept. False when that needed writing the file
// and the write failed; the state file still holds the floor then.
bool KeepTrustFloor(const Json& state);

}  // namespace solvane
