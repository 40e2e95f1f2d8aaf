// VerifySha256 against `openssl dgst -sha256` on the same file, each run a
// fresh process (both pay for process start-up and read the file the same
// way), and the peak resident memory of VerifySha256 per file.
//
//   verify_bench [--rounds N] BIG_FILE [SMALL_FILE]
//
// One untimed run of each warms the page cache; then they run in the order
// A B, B A, ... (bench_stats.h). Prints min, median and max throughput of
// each (MB/s, 10^6 bytes per second), the ratio of the medians, process
// start-up on an empty file, and ru_maxrss of a fresh process that only
// loads the program and of one that verifies each file.
// (Internal: verify_bench --child FILE EXPECTED_HEX | --idle.)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "release/verify.h"

extern char** environ;

namespace {

namespace bench = solvane::bench;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long long FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return st.st_size;
}

// Runs argv, waits, and returns its standard output; `usage` gets the child's
// resource usage. nullopt when it cannot run or exits non-zero.
std::optional<std::string> Run(const std::vector<std::string>& args,
                               struct rusage* usage = nullptr) {
  int out[2];
  if (::pipe(out) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  if (spawned == 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  struct rusage ignored;
  if (::wait4(pid, &status, 0, usage ? usage : &ignored) != pid) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

// The 64 hex digits `openssl dgst -sha256 -r` prints first.
std::optional<std::string> OpensslDigest(const std::string& path) {
  const auto out = Run({"openssl", "dgst", "-sha256", "-r", path});
  if (!out || out->size() < 64) return std::nullopt;
  return out->substr(0, 64);
}

int Child(const char* path, const char* expected) {
  // The measurement is what wait4 reports for this process; the exit code
  // says whether the digest matched.
  return solvane::VerifySha256(path, expected) ? 0 : 3;
}

struct Rss {
  long max_kib = -1;
};

Rss MeasureRss(const std::string& self, const std::vector<std::string>& child_args) {
  std::vector<std::string> args{self};
  args.insert(args.end(), child_args.begin(), child_args.end());
  struct rusage usage {};
  Rss rss;
  if (Run(args, &usage)) rss.max_kib = usage.ru_maxrss;
  return rss;
}

std::string SelfPath(const char* argv0) {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<std::size_t>(n));
  return argv0;
}

int Usage() {
  std::fprintf(stderr, "usage: verify_bench [--rounds N] BIG_FILE [SMALL_FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return Child(argv[2], argv[3]);
  if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) return 0;

  int rounds = 6;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (argv[i][0] == '-') {
      return Usage();
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || files.size() > 2 || rounds < 1) return Usage();
  rounds += rounds % 2;  // each order as often as its reverse
  const std::string self = SelfPath(argv[0]);
  const std::string& big = files[0];
  const long long size = FileSize(big);
  if (size < 0) {
    std::fprintf(stderr, "verify_bench: cannot stat %s\n", big.c_str());
    return 1;
  }

  // Reference digest from openssl; VerifySha256 must agree with it.
  const auto expected = OpensslDigest(big);
  if (!expected) {
    std::fprintf(stderr, "verify_bench: openssl dgst failed on %s\n", big.c_str());
    return 1;
  }
  if (!solvane::VerifySha256(big, *expected)) {
    std::fprintf(stderr, "verify_bench: VerifySha256 disagrees with openssl on %s\n", big.c_str());
    return 1;
  }
  std::printf("file: %s, %lld bytes, sha256 %s\n", big.c_str(), size, expected->c_str());

  // Each timed as a whole process; their start-up alone, for context.
  const std::vector<std::string> clients[] = {{self, "--child", big, *expected},
                                              {"openssl", "dgst", "-sha256", "-r", big}};
  const std::vector<std::string> startup_clients[] = {
      {self, "--idle"}, {"openssl", "dgst", "-sha256", "-r", "/dev/null"}};
  const char* const names[] = {"VerifySha256", "openssl dgst -sha256"};
  auto timed = [](const std::vector<std::string>& args) {
    const auto start = Clock::now();
    if (!Run(args)) {
      std::fprintf(stderr, "verify_bench: %s failed\n", args[0].c_str());
      std::exit(1);
    }
    return Seconds(start);
  };
  for (const auto& client : clients) timed(client);  // warm-up

  std::vector<double> mb_per_s[2], startup[2];
  const double mb = static_cast<double>(size) / 1e6;
  for (int round = 0; round < rounds; ++round) {
    for (const int k : bench::RoundOrder(round, 2)) {
      const double s = timed(clients[k]);
      mb_per_s[k].push_back(mb / s);
      startup[k].push_back(timed(startup_clients[k]));
      std::printf("round %d  %-20s %8.1f MB/s  (%.3f s)\n", round + 1, names[k], mb / s, s);
    }
  }
  std::printf("\n%d rounds: min / median / max\n", rounds);
  for (int k = 0; k < 2; ++k) {
    const bench::Spread speed = bench::SpreadOf(mb_per_s[k]);
    std::printf("  %-20s %8.1f / %8.1f / %8.1f MB/s   start-up %.1f ms (median)\n", names[k],
                speed.min, speed.median, speed.max, bench::SpreadOf(startup[k]).median * 1e3);
  }
  std::printf("  ratio of medians (VerifySha256 / openssl)  %.3f\n",
              bench::SpreadOf(mb_per_s[0]).median / bench::SpreadOf(mb_per_s[1]).median);

  // Peak resident memory, each in a fresh process (wait4's ru_maxrss).
  std::printf("\npeak resident memory (ru_maxrss of a fresh process):\n");
  const Rss idle = MeasureRss(self, {"--idle"});
  std::printf("  program loaded, nothing hashed  %7ld KiB\n", idle.max_kib);
  std::vector<std::string> rss_files;
  if (files.size() == 2) rss_files.push_back(files[1]);
  rss_files.push_back(big);
  for (const std::string& file : rss_files) {
    const auto digest = file == big ? expected : OpensslDigest(file);
    if (!digest) return 1;
    const Rss rss = MeasureRss(self, {"--child", file, *digest});
    if (rss.max_kib < 0) {
      std::fprintf(stderr, "verify_bench: VerifySha256 child failed on %s\n", file.c_str());
      return 1;
    }
    std::printf("  VerifySha256 on %11lld bytes  %7ld KiB  (+%ld KiB over idle)\n", FileSize(file),
                rss.max_kib, rss.max_kib - idle.max_kib);
  }
  return 0;
}
