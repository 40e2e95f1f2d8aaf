// Downloads files from a static HTTP server on loopback with DownloadFile and
// with the curl command line tool, interleaved, each run in a fresh process,
// and prints median throughput and DownloadFile's peak resident memory.
//
//   download_bench BASE_URL FILES_DIR OUT_DIR [ROUNDS]
//
// BASE_URL serves the files of FILES_DIR, which holds large.bin and small.bin.
// scripts/bench-download.sh sets all of this up.
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

#include "net/transfer.h"

extern char** environ;

namespace {

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

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The child: one DownloadFile in a process of its own, so that its peak
// resident memory is the download's alone.
int RunChild(const std::string& url, const std::string& destination, bool progress) {
  solvane::TransferSession session;
  volatile int last_percent = -1;
  solvane::ProgressCallback report;
  if (progress) report = [&last_percent](int percent) { last_percent = percent; };
  return solvane::DownloadFile(url, destination, report) ? 0 : 1;
}

enum Client { kDownloadFile, kDownloadFileProgress, kCurl, kClientCount };
const char* const kClientNames[] = {"DownloadFile, progress off", "DownloadFile, progress on",
                                    "curl -s -o"};

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
  const int rounds = argc == 5 ? std::max(1, std::atoi(argv[4])) : 5;
  const std::string self = fs::read_symlink("/proc/self/exe").string();

  auto download = [&](Client client, const std::string& name) {
    const std::string url = base_url + name;
    const std::string destination = (out / ("download-" + name)).string();
    const std::vector<std::string> args =
        client == kCurl ? std::vector<std::string>{"curl", "-s", "-o", destination, url}
                        : std::vector<std::string>{self, "--child", url, destination,
                                                   client == kDownloadFileProgress ? "1" : "0"};
    const Run run = Spawn(args);
    if (fs::file_size(destination) != fs::file_size(files / name)) {
      std::fprintf(stderr, "download_bench: %s fetched a wrong size\n", kClientNames[client]);
      std::exit(2);
    }
    fs::remove(destination);
    return run;
  };

  const double large_mib = static_cast<double>(fs::file_size(files / "large.bin")) / (1 << 20);
  std::vector<double> mib_per_s[kClientCount];
  std::vector<double> cpu_per_gib[kClientCount];
  std::vector<double> large_rss[kClientCount];
  // Rotating the order spreads page-cache and CPU-frequency effects evenly.
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < kClientCount; ++k) {
      const Client client = static_cast<Client>((round + k) % kClientCount);
      const Run run = download(client, "large.bin");
      mib_per_s[client].push_back(large_mib / run.seconds);
      cpu_per_gib[client].push_back(run.cpu_seconds * 1024 / large_mib);
      large_rss[client].push_back(static_cast<double>(run.max_rss_kib));
      std::printf("round %d  %-28s %8.1f MiB/s  %5.2f CPU s/GiB  %6ld KiB peak RSS\n", round + 1,
                  kClientNames[client], large_mib / run.seconds, cpu_per_gib[client].back(),
                  run.max_rss_kib);
      std::fflush(stdout);
    }
  }
  std::vector<double> small_rss[kClientCount];
  for (int round = 0; round < rounds; ++round) {
    for (int k = 0; k < kClientCount; ++k) {
      const Client client = static_cast<Client>(k);
      small_rss[client].push_back(static_cast<double>(download(client, "small.bin").max_rss_kib));
    }
  }

  std::printf("\n%d rounds, %.0f MiB file, medians\n", rounds, large_mib);
  for (int k = 0; k < kClientCount; ++k) {
    std::printf(
        "  %-28s %8.1f MiB/s  %5.2f CPU s/GiB  peak RSS %6.0f KiB (1 MiB), %6.0f KiB (large)\n",
        kClientNames[k], Median(mib_per_s[k]), Median(cpu_per_gib[k]), Median(small_rss[k]),
        Median(large_rss[k]));
  }
  const double off = Median(mib_per_s[kDownloadFile]);
  const double on = Median(mib_per_s[kDownloadFileProgress]);
  const double curl = Median(mib_per_s[kCurl]);
  std::printf("\n  DownloadFile / curl, throughput  %.3f   (goal >= 0.95)\n", off / curl);
  std::printf("  curl / DownloadFile, CPU time    %.3f\n",
              Median(cpu_per_gib[kCurl]) / Median(cpu_per_gib[kDownloadFile]));
  std::printf("  cost of progress reporting       %+.1f %%  (goal < 5 %%)\n",
              (off - on) / off * 100);
  std::printf("  DownloadFile peak RSS, large - 1 MiB file  %+.0f KiB\n",
              Median(large_rss[kDownloadFile]) - Median(small_rss[kDownloadFile]));
  return 0;
}
