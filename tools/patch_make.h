// Making a delta patch: the new installer as zstd frames, each compressed
// with the whole previous installer as its prefix, the format that
// `zstd --patch-from` reads and the program applies.
#pragma once

#include <cstdint>
#include <string>

#include "release/patch_apply.h"

namespace solvane::publish {

// The most of the new installer one frame holds. A decoder buffers a frame's
// content (or its window, when smaller), so this bounds what applying costs
// beyond the base itself. The client refuses a window larger than a frame
// of this size needs, so the two are one constant.
inline constexpr auto kPatchFrameBytes = static_cast<std::int64_t>(kMaxPatchFrameBytes);

// Writes to `patch_path` (atomically) the patch that turns the file at
// `base_path` into the one at `target_path`. An empty target gives one empty
// frame. Returns "" when written, else what went wrong.
[[nodiscard]] std::string MakePatch(const std::string& base_path, const std::string& target_path,
                                    const std::string& patch_path);

}  // namespace solvane::publish
