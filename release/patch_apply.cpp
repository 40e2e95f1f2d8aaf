#include "release/patch_apply.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "platform/download_sink.h"
#include "platform/fs.h"
#include "platform/sha256.h"
#include "release/verify.h"

namespace solvane {
namespace {

struct DCtxFree {
  void operator()(ZSTD_DCtx* context) const noexcept { ZSTD_freeDCtx(context); }
};
using UniqueDCtx = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

// The base's bytes, read whole through one handle and hashed as they are
// read, so that what is used is what was checked. `problem` says why not.
bool ReadBase(const std::string& path, const std::string& sha256, std::vector<char>& bytes,
              std::string& problem) {
  const UniqueFile file = OpenFile(path, "rb");
  Sha256Hash hash = Sha256Begin();
  std::error_code error;
  std::uintmax_t size = 0;
  try {
    size = std::filesystem::file_size(ToFsPath(path), error);
  } catch (const std::filesystem::filesystem_error&) {
    error = std::make_error_code(std::errc::invalid_argument);
  }
  problem = "base missing";
  if (!file || !hash || error) return false;
  try {
    bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    problem = "base too large to hold in memory";
    return false;
  }
  // A file that grew since its size was taken reads short of its end here,
  // and one that shrank reads short of `size`: both fail the digest or the read.
  problem = "base unreadable";
  if (size > 0 && std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    return false;
  }
  Sha256Update(*hash, bytes.data(), bytes.size());
  Sha256Digest digest;
  if (!Sha256Finish(*hash, digest)) return false;
  problem = "base changed";
  if (!sha256.empty() && HexDigest(digest) != sha256) return false;
  problem.clear();
  return true;
}

// Whether the frame starting at `in`'s position declares a window beyond
// `window_log`; false too while its header has not all arrived (the
// decoder's own limit then refuses it).
bool WindowTooLarge(const ZSTD_inBuffer& in, unsigned window_log) {
  ZSTD_frameHeader header;
  const std::size_t need =
      ZSTD_getFrameHeader(&header, static_cast<const char*>(in.src) + in.pos, in.size - in.pos);
  return need == 0 && header.frameType == ZSTD_frame &&
         header.windowSize > (std::uint64_t{1} << window_log);
}

// Decodes every frame of `patch` against `base` into `sink`, writing at most
// `max_bytes` (0: no limit). "" when the patch decoded whole, else what went
// wrong.
std::string Decode(std::FILE* patch, const std::vector<char>& base, std::int64_t max_bytes,
                   DownloadSink& sink, std::int64_t& written) {
  const UniqueDCtx context(ZSTD_createDCtx());
  if (!context) return "out of memory";
  // A frame reaches back over the whole base and what it has written itself:
  // a larger window only costs memory a relay chose.
  const unsigned window_log = PatchWindowLog(base.size());
  if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax,
                                          static_cast<int>(window_log)))) {
    return "patch damaged: the base is too large for a patch";
  }
  std::vector<char> input(ZSTD_DStreamInSize());
  std::vector<char> output(ZSTD_DStreamOutSize());
  bool frame_start = true;  // a prefix serves one frame; each frame takes it again
  bool input_ended = false;
  ZSTD_inBuffer in{input.data(), 0, 0};
  while (true) {
    if (in.pos == in.size && !input_ended) {
      in.size = std::fread(input.data(), 1, input.size(), patch);
      in.pos = 0;
      if (in.size == 0) {
        if (std::ferror(patch)) return "patch unreadable";
        input_ended = true;
      }
    }
    if (in.pos == in.size && input_ended) break;
    if (frame_start) {
      const std::size_t set = ZSTD_DCtx_refPrefix(context.get(), base.data(), base.size());
      if (ZSTD_isError(set)) return std::string("patch damaged: ") + ZSTD_getErrorName(set);
      frame_start = false;
      if (WindowTooLarge(in, window_log)) {
        return "patch damaged: its window is larger than a patch of this base needs";
      }
    }
    // Decoded until the frame gives no more for this input: a full output
    // buffer may leave more behind.
    std::size_t left = 0;
    ZSTD_outBuffer out{output.data(), output.size(), output.size()};
    while (out.pos == out.size) {
      out.pos = 0;
      left = ZSTD_decompressStream(context.get(), &out, &in);
      if (ZSTD_isError(left)) return std::string("patch damaged: ") + ZSTD_getErrorName(left);
      if (max_bytes > 0 && static_cast<std::int64_t>(out.pos) > max_bytes - written) {
        return "patch damaged: the result is larger than the release";
      }
      if (!sink.Append(output.data(), out.pos)) return "cannot write the result";
      written += static_cast<std::int64_t>(out.pos);
      if (left == 0) break;
    }
    if (left == 0) frame_start = true;
  }
  return frame_start ? "" : "patch damaged: it ends within a frame";
}

}  // namespace

unsigned PatchWindowLog(std::uint64_t base_bytes) {
  unsigned log = ZSTD_WINDOWLOG_MIN;
  const std::uint64_t reach = base_bytes + kMaxPatchFrameBytes;
  while (log < 63 && (std::uint64_t{1} << log) < reach) ++log;
  return log;
}

PatchApplied ApplyPatchFile(const std::string& base_path, const std::string& base_sha256,
                            const std::string& patch_path, const std::string& out_path,
                            std::int64_t max_bytes) {
  PatchApplied applied;
  std::vector<char> base;
  if (!ReadBase(base_path, base_sha256, base, applied.problem)) return applied;
  const UniqueFile patch = OpenFile(patch_path, "rb");
  if (!patch) {
    applied.problem = "patch unreadable";
    return applied;
  }
  UniqueFile out = OpenOwnFile(out_path, "wb");
  Sha256Hash hash = Sha256Begin();
  if (!out || !hash) {
    applied.problem = "cannot write the result";
    return applied;
  }
  DownloadSink sink;
  sink.Begin(std::move(out), std::move(hash));
  applied.problem = Decode(patch.get(), base, max_bytes, sink, applied.bytes);
  if (!applied.problem.empty()) return applied;  // the sink closes the file
  Sha256Digest digest;
  if (!sink.Finish(digest)) {
    applied.problem = "cannot write the result";
    return applied;
  }
  applied.sha256 = HexDigest(digest);
  applied.ok = true;
  return applied;
}

}  // namespace solvane
