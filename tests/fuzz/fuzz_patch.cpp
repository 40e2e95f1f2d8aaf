// A patch applied to a small base: whatever the patch declares (windows,
// content sizes, frames), the apply ends without a crash, stays within the
// memory a patch of this base needs and never writes more than the
// release's size.
//
// Input: the patch. The base is 8 KiB made at start-up, as the seed patches
// in the corpus were made from it with `zstd --patch-from`:
//   python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 31 + i // 256) % 251 for i in
//   range(8192)))"
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "release/patch_apply.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// The release's size the apply is held to.
constexpr std::int64_t kReleaseBytes = 64 * 1024;

std::string folder;

bool WriteWhole(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/solvane-fuzz-patch-XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  folder = pattern;
  std::string base(8192, '\0');
  for (std::size_t i = 0; i < base.size(); ++i)
    base[i] = static_cast<char>((i * 31 + i / 256) % 251);
  if (!WriteWhole(folder + "/base", base.data(), base.size())) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!WriteWhole(folder + "/patch", data, size)) std::abort();
  const solvane::PatchApplied applied = solvane::ApplyPatchFile(
      folder + "/base", "", folder + "/patch", folder + "/out", kReleaseBytes);
  std::error_code ec;
  const auto written = std::filesystem::file_size(folder + "/out", ec);
  if (!ec) FUZZ_CHECK(written <= static_cast<std::uintmax_t>(kReleaseBytes));
  if (applied.ok) {
    FUZZ_CHECK(applied.problem.empty());
    FUZZ_CHECK(applied.bytes <= kReleaseBytes);
    FUZZ_CHECK(applied.sha256.size() == 64);
  } else {
    FUZZ_CHECK(!applied.problem.empty());
  }
  return 0;
}
