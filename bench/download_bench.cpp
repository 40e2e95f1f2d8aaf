// Downloads files from a static HTTP server on loopback with DownloadWithResume,
// the installer download of the program (progress reporting off and on), and
// with the curl command line tool, each run a fresh process writing a fresh
// file in OUT_DIR, and prints min, median and max of throughput and CPU time,
// and each client's peak resident memory.
//
//   download_bench BASE_URL FILES_DIR OUT_DIR [ROUNDS]
//
// BASE_URL serves the files of FILES_DIR, which holds large.bin and small.bin.
// One untimed round warms up the server, the page cache and the programs;
// then the clients run in the order A B C, C B A, ... (bench_stats.h), and
// each output file is deleted and the disk synced before the next run, so no
// run pays for an earlier run's write-back. scripts/bench.sh download sets
// all of this up.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "net/installer_transfer.h"

extern char** environ;

namespace {

namespace bench = solvane::bench;

namespace fs = std::filesystem;

struct Run {
  double seconds = 0;      // wall time from start to exit
  double cpu_seconds = 0;  // user + system time of the process
  long max_rss_kib = 0;
};

// Starts `argv` and waits for it; exits the benchmark when it fails.
Run Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "download_bench: cannot start %s\n", argv[0]);
    std::exit(2);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "download_bench: %s %s failed\n", argv[0], argv[1]);
    std::exit(2);
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {elapsed.count(), seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss};
}

// The child: one installer download in a process of its own, so that its
// peak resident memory is the download's alone. It hashes the bytes as the
// program does; with no digest to match, any complete file is accepted.
int RunChild(const std::string& url, const std::string& destination, bool progress) {
  solvane::TransferSession session;
  volatile int last_percent = -1;
  solvane::ProgressCallback report;
  if (progress) report = [&last_percent](int percent) { last_percent = percent; };
  solvane::InstallerDownload request;
  request.url = url;
  request.destination = destination;
  return solvane::DownloadWithResume(request, report, {}).complete ? 0 : 1;
}

enum Client { kInstaller, kInstallerProgress, kCurl, kClientCount };
const char* const kClientNames[] = {"DownloadWithResume, progress off",
                                    "DownloadWithResume, progress on", "curl -s -o"};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--child") {
    return RunChild(argv[2], argv[3], std::string(argv[4]) == "1");
  }
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: download_bench BASE_URL FILES_DIR OUT_DIR [ROUNDS]\n");
    return 2;
  }
  const std::string base_url = argv[1];
  const fs::path files = argv[2];
  const fs::path out = argv[3];
  // An even number, so that each order is run as often as its reverse.
  int rounds = argc == 5 ? std::max(2, std::atoi(argv[4])) : 6;
  rounds += rounds % 2;
  const std::string self = fs::read_symlink("/proc/self/exe").string();

  // Every run writes a new file in the same folder, named alike for all.
  int runs = 0;
  auto download = [&](Client client, const std::string& name) {
    const std::string url = base_url + name;
    const std::string destination = (out / ("run-" + std::to_string(++runs) + ".bin")).string();
    const std::vector<std::string> args =
        client == kCurl ? std::vector<std::string>{"curl", "-s", "-o", destination, url}
                        : std::vector<std::string>{self, "--child", url, destination,
                                                   client == kInstallerProgress ? "1" : "0"};
    const Run run = Spawn(args);
    if (fs::file_size(destination) != fs::file_size(files / name)) {
      std::fprintf(stderr, "download_bench: %s fetched a wrong size\n", kClientNames[client]);
      std::exit(2);
    }
    fs::remove(destination);
    ::sync();
    return run;
  };

  for (int k = 0; k < kClientCount; ++k) download(static_cast<Client>(k), "large.bin");

  const double large_mib = static_cast<double>(fs::file_size(files / "large.bin")) / (1 << 20);
  std::vector<double> mib_per_s[kClientCount];
  std::vector<double> cpu_per_gib[kClientCount];
  std::vector<double> large_rss[kClientCount];
  std::vector<double> small_rss[kClientCount];
  for (int round = 0; round < rounds; ++round) {
    for (const int k : bench::RoundOrder(round, kClientCount)) {
      const Client client = static_cast<Client>(k);
      const Run run = download(client, "large.bin");
      mib_per_s[client].push_back(large_mib / run.seconds);
      cpu_per_gib[client].push_back(run.cpu_seconds * 1024 / large_mib);
      large_rss[client].push_back(static_cast<double>(run.max_rss_kib));
      std::printf("round %d  %-32s %8.1f MiB/s  %5.2f CPU s/GiB  %6ld KiB peak RSS\n", round + 1,
                  kClientNames[client], large_mib / run.seconds, cpu_per_gib[client].back(),
                  run.max_rss_kib);
      std::fflush(stdout);
      small_rss[client].push_back(static_cast<double>(download(client, "small.bin").max_rss_kib));
    }
  }

  std::printf("\n%d rounds, %.0f MiB file: min / median / max\n", rounds, large_mib);
  for (int k = 0; k < kClientCount; ++k) {
    const bench::Spread speed = bench::SpreadOf(mib_per_s[k]);
    const bench::Spread cpu = bench::SpreadOf(cpu_per_gib[k]);
    std::printf("  %-32s %7.1f / %7.1f / %7.1f MiB/s   %5.2f / %5.2f / %5.2f CPU s/GiB\n",
                kClientNames[k], speed.min, speed.median, speed.max, cpu.min, cpu.median, cpu.max);
  }
  std::printf("\npeak resident memory, median: 1 MiB file / large file\n");
  for (int k = 0; k < kClientCount; ++k) {
    std::printf("  %-32s %6.0f / %6.0f KiB\n", kClientNames[k],
                bench::SpreadOf(small_rss[k]).median, bench::SpreadOf(large_rss[k]).median);
  }
  const double off = bench::SpreadOf(mib_per_s[kInstaller]).median;
  const double on = bench::SpreadOf(mib_per_s[kInstallerProgress]).median;
  const double curl = bench::SpreadOf(mib_per_s[kCurl]).median;
  std::printf("\nratios of medians (compare with the spread above before reading them):\n");
  std::printf("  DownloadWithResume / curl, throughput  %.3f\n", off / curl);
  std::printf(
      "  DownloadWithResume / curl, CPU time    %.3f\n",
      bench::SpreadOf(cpu_per_gib[kInstaller]).median / bench::SpreadOf(cpu_per_gib[kCurl]).median);
  std::printf("  progress on / off, throughput          %.3f\n", on / off);
  return 0;
}
