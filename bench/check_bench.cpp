// The update check's one pass over an installer (download, SHA-256 as the
// bytes arrive, flush to disk) against the usual two (`curl -o`, then
// `openssl dgst -sha256`), from the same loopback server, interleaved A B B A,
// each run a fresh process; then an interrupted download resumed, counting
// the body bytes the server sends; and the check's peak resident memory for a
// large and a small release.
//
//   check_bench WORK_DIR LARGE_FILE RESUME_FILE SMALL_FILE [ROUNDS]
//
// The files are served below /solvane/files/; the digests come from the
// program's own SHA-256 before anything is timed. scripts/bench-check.sh sets
// all of this up.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_process.h"
#include "bench/bench_stats.h"
#include "release/verify.h"
#include "state/state_file.h"

namespace {

namespace fs = std::filesystem;
using solvane::bench::BenchServer;
using solvane::bench::Median;
using solvane::bench::Run;
using solvane::bench::Spawn;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) {
    std::fprintf(stderr,
                 "usage: check_bench WORK_DIR LARGE_FILE RESUME_FILE SMALL_FILE [ROUNDS]\n");
    return 2;
  }
  const fs::path work = argv[1];
  const fs::path large = argv[2], resume = argv[3], small = argv[4];
  const int rounds = argc == 6 ? std::max(1, std::atoi(argv[5])) : 3;
  const fs::path home = work / "home";
  const fs::path updates = home / ".local/share/Korrinwade/Solvane/Updates";
  const fs::path pair_out = work / "curl-download.bin";

  auto digest = [](const fs::path& file) {
    const std::optional<std::string> hex = solvane::Sha256Hex(file.string());
    if (!hex) std::exit(2);
    return *hex;
  };
  const std::string large_digest = digest(large), resume_digest = digest(resume),
                    small_digest = digest(small);
  BenchServer server(large.parent_path());

  const std::vector<std::string> check_env = {"HOME=" + home.string()};
  auto check = [&] {
    return Spawn({SOLVANE_BENCH_PROGRAM, "--check", "1.4.0", "--force"}, check_env);
  };
  auto staged = [&](const fs::path& file) {
    return fs::exists(updates / file.filename()) &&
           fs::file_size(updates / file.filename()) == fs::file_size(file);
  };
  auto fresh_home = [&] { fs::remove_all(home); };

  // One pass against two, A B B A.
  server.Publish(large.filename().string(), large_digest);
  const double mib = static_cast<double>(fs::file_size(large)) / (1 << 20);
  std::vector<double> one_pass, two_passes, large_rss;
  auto run_check = [&] {
    fresh_home();
    const Run run = check();
    if (!staged(large)) {
      std::fprintf(stderr, "check_bench: the check did not stage the release\n");
      std::exit(2);
    }
    one_pass.push_back(run.seconds);
    large_rss.push_back(static_cast<double>(run.max_rss_kib));
    std::printf("  check --force          %7.2f s  %7.1f MiB/s  %6ld KiB peak RSS\n", run.seconds,
                mib / run.seconds, run.max_rss_kib);
  };
  auto run_pair = [&] {
    fs::remove(pair_out);
    const Run fetch = Spawn({"curl", "-s", "-o", pair_out.string(), server.Url(large.filename())});
    const Run hash = Spawn({"openssl", "dgst", "-sha256", pair_out.string()});
    if (fetch.exit_code != 0 || hash.exit_code != 0) std::exit(2);
    two_passes.push_back(fetch.seconds + hash.seconds);
    std::printf("  curl -o + openssl dgst %7.2f s  %7.1f MiB/s  (%.2f + %.2f)\n",
                fetch.seconds + hash.seconds, mib / (fetch.seconds + hash.seconds), fetch.seconds,
                hash.seconds);
  };
  std::printf("%.0f MiB release, one warm-up of each, then %d rounds of A B B A\n", mib, rounds);
  run_check();
  run_pair();
  one_pass.clear();
  two_passes.clear();
  large_rss.clear();
  for (int round = 0; round < rounds; ++round) {
    run_check();
    run_pair();
    run_pair();
    run_check();
    std::fflush(stdout);
  }
  fs::remove(pair_out);

  // An interrupted download resumed: the body bytes of the second run.
  server.Publish(resume.filename().string(), resume_digest);
  const auto resume_size = static_cast<std::int64_t>(fs::file_size(resume));
  fresh_home();
  server.CutNextAt(resume_size * 2 / 5);
  check();
  const fs::path partial = updates / (resume.filename().string() + ".partial");
  const std::int64_t held =
      fs::exists(partial) ? static_cast<std::int64_t>(fs::file_size(partial)) : 0;
  const std::int64_t before = server.Sent();
  const Run resumed = check();
  const std::int64_t wire = server.Sent() - before;
  const bool resume_staged = staged(resume);

  // The same check for a small release, for the memory comparison.
  server.Publish(small.filename().string(), small_digest);
  std::vector<double> small_rss;
  for (int i = 0; i < 3; ++i) {
    fresh_home();
    small_rss.push_back(static_cast<double>(check().max_rss_kib));
  }
  fresh_home();

  const solvane::bench::Spread check_time = solvane::bench::SpreadOf(one_pass),
                               pair_time = solvane::bench::SpreadOf(two_passes);
  const double a = check_time.median, b = pair_time.median;
  std::printf("\n%zu runs each, flush to disk included in the check: min / median / max\n",
              one_pass.size());
  std::printf("  check --force           %5.2f / %5.2f / %5.2f s  (median %6.1f MiB/s)\n",
              check_time.min, a, check_time.max, mib / a);
  std::printf("  curl -o + openssl dgst  %5.2f / %5.2f / %5.2f s  (median %6.1f MiB/s)\n",
              pair_time.min, b, pair_time.max, mib / b);
  std::printf("  check / pair, time      %.3f   (goal < 1: %.1f %% %s)\n", a / b,
              std::abs(1 - a / b) * 100, a < b ? "faster" : "slower");
  const std::int64_t remainder = resume_size - held;
  std::printf("\nresume of a %.0f MiB release cut at %.1f %%: %s\n",
              static_cast<double>(resume_size) / (1 << 20),
              100.0 * static_cast<double>(held) / static_cast<double>(resume_size),
              resume_staged ? "staged" : "NOT staged");
  std::printf("  remainder %lld bytes, body bytes sent %lld, ratio %.5f  (goal within 1 %%)\n",
              static_cast<long long>(remainder), static_cast<long long>(wire),
              remainder > 0 ? static_cast<double>(wire) / static_cast<double>(remainder) : 0.0);
  std::printf("  resumed check %.2f s, peak RSS %ld KiB\n", resumed.seconds, resumed.max_rss_kib);
  std::printf("\npeak RSS of the check: %.0f KiB (%.0f MiB release), %.0f KiB (%.0f MiB release)\n",
              Median(large_rss), mib, Median(small_rss),
              static_cast<double>(fs::file_size(small)) / (1 << 20));
  return resume_staged && remainder > 0 ? 0 : 1;
}
