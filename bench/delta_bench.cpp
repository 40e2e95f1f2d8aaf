// Delta updates on an installer with a stored payload, side by side in one
// run: (a) the bytes a real `--check` puts on the wire with the previous
// installer in place as its base, against the new installer's size; (b) the
// time to apply the patch (ApplyPatchFile: decode, hash, flush) against
// `zstd -d --patch-from` writing the same file, each a fresh process,
// alternating A B, B A; (c) the apply's peak resident memory against the
// base's size + 64 MiB; (d) the time and size of making the patch.
//
//   delta_bench WORK_DIR [FILES] [ROUNDS]
//
// The installers are made here: FILES (default 200) "files" of 1 MiB of
// random bytes, each behind a small header, as an archive that stores
// compressed files; the next release changes a tenth of them, removes a
// fortieth and inserts as many new ones of other sizes, so offsets shift.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_process.h"
#include "bench/bench_stats.h"
#include "release/patch_apply.h"
#include "release/verify.h"
#include "tools/patch_make.h"

namespace {

namespace fs = std::filesystem;
using solvane::Json;
using solvane::bench::BenchServer;
using solvane::bench::Run;
using solvane::bench::Spawn;
using solvane::bench::SpreadOf;

struct File {
  std::string name;
  std::string bytes;
};

std::string RandomBytes(std::mt19937_64& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(&bytes[i], &word, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

// A shell script that exits at once, so that the program can start it,
// followed by the stored files.
void WriteInstaller(const fs::path& path, const std::vector<File>& files) {
  std::ofstream out(path, std::ios::binary);
  out << "#!/bin/sh\nexit 0\n";
  for (const File& file : files) out << file.name << ' ' << file.bytes.size() << '\n' << file.bytes;
}

void MakeReleases(const fs::path& old_path, const fs::path& new_path, int count) {
  std::mt19937_64 random(25);
  std::vector<File> files;
  for (int i = 0; i < count; ++i) {
    files.push_back({"file" + std::to_string(i), RandomBytes(random, 1 << 20)});
  }
  WriteInstaller(old_path, files);
  std::vector<int> order(files.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::shuffle(order.begin(), order.end(), random);
  for (int k = 0; k < count / 10; ++k) files[order[k]].bytes = RandomBytes(random, 1 << 20);
  for (int k = 0; k < std::max(1, count / 40); ++k) {
    files.erase(files.begin() + static_cast<long>(random() % files.size()));
  }
  for (int k = 0; k < std::max(1, count / 40); ++k) {
    files.insert(files.begin() + static_cast<long>(random() % files.size()),
                 {"new" + std::to_string(k), RandomBytes(random, 1000 + random() % (1 << 20))});
  }
  WriteInstaller(new_path, files);
}

std::string DigestOf(const fs::path& path) {
  const std::optional<std::string> hex = solvane::Sha256Hex(path.string());
  if (!hex) std::exit(2);
  return *hex;
}

double MiB(double bytes) { return bytes / (1 << 20); }

// The steps that hold much memory run as children of their own: Linux
// counts a spawned child's peak memory from the parent's (it starts in the
// parent's address space), so the parent must stay small for the apply's
// figure to be its own.
int RunStep(int argc, char** argv) {
  const std::string step = argv[1];
  if (step == "generate" && argc == 5) {
    MakeReleases(argv[2], argv[3], std::atoi(argv[4]));
    return 0;
  }
  if (step == "make" && argc == 5) {
    const std::string problem = solvane::publish::MakePatch(argv[2], argv[3], argv[4]);
    if (!problem.empty()) std::fprintf(stderr, "delta_bench: %s\n", problem.c_str());
    return problem.empty() ? 0 : 1;
  }
  if (step == "apply" && argc == 6) {
    const solvane::PatchApplied applied =
        solvane::ApplyPatchFile(argv[2], argv[3], argv[4], argv[5]);
    if (!applied.ok) std::fprintf(stderr, "delta_bench: %s\n", applied.problem.c_str());
    return applied.ok ? 0 : 1;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc >= 2 ? argv[1] : "";
  if (first == "generate" || first == "make" || first == "apply") return RunStep(argc, argv);
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: delta_bench WORK_DIR [FILES] [ROUNDS]\n");
    return 2;
  }
  const fs::path work = argv[1];
  const int count = argc >= 3 ? std::max(10, std::atoi(argv[2])) : 200;
  const int rounds = argc >= 4 ? std::max(1, std::atoi(argv[3])) : 5;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const fs::path files = work / "files";
  fs::create_directories(files);
  const fs::path old_path = files / "app-1.5.0.bin", new_path = files / "app-1.6.0.bin";
  if (Spawn({self, "generate", old_path.string(), new_path.string(), std::to_string(count)})
          .exit_code != 0) {
    return 2;
  }
  const std::string old_digest = DigestOf(old_path), new_digest = DigestOf(new_path);
  const double old_size = static_cast<double>(fs::file_size(old_path));
  const double new_size = static_cast<double>(fs::file_size(new_path));
  std::printf("installers: %.1f MiB, then %.1f MiB (%d files of 1 MiB, a tenth changed)\n",
              MiB(old_size), MiB(new_size), count);

  // (d) Making the patch.
  const fs::path patch = files / ("app-1.6.0.bin.from-" + old_digest.substr(0, 16) + ".zst");
  const Run made = Spawn({self, "make", old_path.string(), new_path.string(), patch.string()});
  if (made.exit_code != 0) return 2;
  const double patch_size = static_cast<double>(fs::file_size(patch));
  std::printf(
      "(d) making the patch: %.1f s, %.0f KiB peak RSS, %.2f MiB = %.1f %% of the new "
      "installer\n",
      made.seconds, static_cast<double>(made.max_rss_kib), MiB(patch_size),
      100 * patch_size / new_size);
  std::fflush(stdout);

  // (b) and (c): the apply against zstd, one warm-up each, then A B, B A.
  const fs::path ours = work / "ours.bin", theirs = work / "theirs.bin";
  std::vector<double> our_times, their_times, our_rss, their_rss;
  auto run = [&](int which) {
    const fs::path out = which == 0 ? ours : theirs;
    fs::remove(out);
    const Run r =
        which == 0
            ? Spawn({self, "apply", old_path.string(), old_digest, patch.string(), ours.string()})
            : Spawn({"zstd", "-d", "-q", "-f", "--patch-from=" + old_path.string(), patch.string(),
                     "-o", theirs.string()});
    if (r.exit_code != 0 || DigestOf(out) != new_digest) {
      std::fprintf(stderr, "delta_bench: %s did not give the new installer\n",
                   which == 0 ? "ApplyPatchFile" : "zstd -d");
      std::exit(2);
    }
    (which == 0 ? our_times : their_times).push_back(r.seconds);
    (which == 0 ? our_rss : their_rss).push_back(static_cast<double>(r.max_rss_kib));
  };
  run(0);
  run(1);
  our_times.clear();
  their_times.clear();
  for (int round = 0; round < rounds; ++round) {
    for (int which : solvane::bench::RoundOrder(round, 2)) run(which);
  }
  fs::remove(ours);
  fs::remove(theirs);
  const solvane::bench::Spread a = SpreadOf(our_times), b = SpreadOf(their_times);
  std::printf("(b) applying, %d runs each, min / median / max:\n", rounds);
  std::printf("  ApplyPatchFile (hash, flush) %5.2f / %5.2f / %5.2f s\n", a.min, a.median, a.max);
  std::printf("  zstd -d --patch-from         %5.2f / %5.2f / %5.2f s\n", b.min, b.median, b.max);
  std::printf("  ours / zstd, median          %.3f  (goal <= 1)\n", a.median / b.median);
  const double limit_kib = old_size / 1024 + 64 * 1024;
  std::printf(
      "(c) peak RSS of the apply: %.0f KiB; base + 64 MiB = %.0f KiB (%s); zstd -d %.0f KiB\n",
      SpreadOf(our_rss).max, limit_kib, SpreadOf(our_rss).max <= limit_kib ? "within" : "OVER",
      SpreadOf(their_rss).max);
  std::fflush(stdout);

  // (a) A real check: a fresh install of 1.5.0 leaves it as the base, then
  // 1.6.0 is published with the patch and checked for.
  const fs::path home = work / "home";
  const fs::path updates = home / ".local/share/Korrinwade/Solvane/Updates";
  const std::vector<std::string> env = {"HOME=" + home.string()};
  BenchServer server(files);
  server.Publish(old_path.filename().string(), old_digest);
  const Run installed = Spawn({SOLVANE_BENCH_PROGRAM}, env);
  if (installed.exit_code != 0) {
    std::fprintf(stderr, "delta_bench: the fresh install exited with %d\n", installed.exit_code);
    return 2;
  }
  Json manifest;
  Json& releases = manifest["releases"][SOLVANE_BENCH_PLATFORM_KEY];
  releases["1.5.0"] = {{"url", server.Url(old_path.filename().string())},
                       {"sha256", old_digest},
                       {"notes", "bench"}};
  releases["1.6.0"] = {{"url", server.Url(new_path.filename().string())},
                       {"sha256", new_digest},
                       {"notes", "bench"},
                       {"deltas",
                        {{{"from_sha256", old_digest},
                          {"url", server.Url(patch.filename().string())},
                          {"sha256", DigestOf(patch)},
                          {"size", static_cast<std::int64_t>(patch_size)}}}}};
  manifest["current"]["stable"][SOLVANE_BENCH_PLATFORM_KEY] = "1.6.0";
  server.SetManifest(manifest);
  const std::int64_t before = server.Sent();
  const Run checked = Spawn({SOLVANE_BENCH_PROGRAM, "--check", "1.5.0", "--force"}, env);
  const double wire = static_cast<double>(server.Sent() - before);
  const fs::path staged = updates / new_path.filename();
  const bool ok = checked.exit_code == 0 && fs::exists(staged) && DigestOf(staged) == new_digest;
  std::printf(
      "(a) --check with the base in place: %s in %.2f s; installer bytes on the wire "
      "%.0f (%.2f MiB) = %.1f %% of the installer's %.0f (goal <= 30 %%)\n",
      ok ? "staged 1.6.0" : "NOT STAGED", checked.seconds, wire, MiB(wire), 100 * wire / new_size,
      new_size);
  std::printf("    (file bodies the server sent; the manifest adds %zu bytes)\n",
              manifest.dump().size());
  fs::remove_all(home);
  return ok ? 0 : 1;
}
