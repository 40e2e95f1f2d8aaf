// Making an installer out of the one this machine already has and a patch.
// A patch is one or more zstd frames, each decoded with the whole base as its
// prefix: the format `zstd --patch-from` writes (one frame) and reads.
#pragma once

#include <cstdint>
#include <string>

namespace solvane {

// What ApplyPatchFile came to.
struct PatchApplied {
  bool ok = false;
  std::string problem;  // when !ok: what failed, for the log
  std::string sha256;   // when ok: the digest of the bytes written
  std::int64_t bytes = 0;
};

// Reads the base at `base_path` whole, checking it against `base_sha256`
// (lower-case hex; "" checks nothing), applies the patch at `patch_path` to
// it and writes the result to `out_path`, created or truncated (never
// through a link). The bytes go through the download writer, hashed as they
// are written and on the disk when it returns ok. Memory: the base, plus a
// frame's worth of output (the patch's frames hold at most 32 MiB each; a
// one-frame patch of a larger file costs its size). A frame whose window is
// larger than the base plus kMaxPatchFrameBytes needs, or a result that
// would pass `max_bytes` (0: no limit), ends it as "patch damaged: ...". On
// failure `out_path` may hold part of the result; the caller removes it.
[[nodiscard]] PatchApplied ApplyPatchFile(const std::string& base_path,
                                          const std::string& base_sha256,
                                          const std::string& patch_path,
                                          const std::string& out_path, std::int64_t max_bytes = 0);

// The most a frame of a patch decodes to, as solvane-publish writes them.
inline constexpr std::uint64_t kMaxPatchFrameBytes = 32u * 1024 * 1024;

// The window log (log2 of bytes) a patch against a base of `base_bytes` may
// need: the smallest covering the base and one frame.
[[nodiscard]] unsigned PatchWindowLog(std::uint64_t base_bytes);

}  // namespace solvane
