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
#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "net/verify.h"
#include "state/state_file.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Run {
  double seconds = 0;
  long max_rss_kib = 0;
  int exit_code = -1;
};

Run Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    // Replaced ones and the data folder's override go; the rest is kept.
    const std::string key = entry.substr(0, entry.find('=') + 1);
    const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& v) {
      return v.compare(0, key.size(), key) == 0;
    });
    if (!replaced && key != "XDG_DATA_HOME=") env_text.push_back(entry);
  }
  env_text.insert(env_text.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  Run run;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::fprintf(stderr, "check_bench: cannot start %s\n", argv[0]);
    std::exit(2);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  run.seconds = elapsed.count();
  run.max_rss_kib = usage.ru_maxrss;
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

double Median(std::vector<double> values) { return solvane::bench::SpreadOf(values).median; }

// The release server: a manifest naming one file, the files themselves with
// an ETag and ranges, a byte counter and a one-time cut.
class BenchServer {
 public:
  explicit BenchServer(fs::path files) : files_(std::move(files)) {
    server_.Get("/solvane/manifest.json", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(manifest_, "application/json");
    });
    server_.Get(
        R"(/solvane/files/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
          const fs::path path = files_ / req.matches[1].str();
          const int fd = ::open(path.c_str(), O_RDONLY);
          if (fd < 0) {
            res.status = 404;
            return;
          }
          const auto size = static_cast<std::size_t>(fs::file_size(path));
          const std::int64_t cut = cut_at_.exchange(-1);
          res.set_header("ETag", "\"bench-" + std::to_string(size) + "\"");
          res.status = req.has_header("Range") ? 206 : 200;
          res.set_content_provider(
              size, "application/octet-stream",
              [this, fd, cut](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                std::size_t n = std::min<std::size_t>(length, 256 * 1024);
                if (cut >= 0) {
                  if (static_cast<std::int64_t>(offset) >= cut) return false;
                  n = std::min<std::size_t>(n, static_cast<std::size_t>(cut) - offset);
                }
                static thread_local std::vector<char> buffer(256 * 1024);
                const ssize_t got = ::pread(fd, buffer.data(), n, static_cast<off_t>(offset));
                if (got <= 0 || !sink.write(buffer.data(), static_cast<std::size_t>(got)))
                  return false;
                sent_ += got;
                return true;
              },
              [fd](bool) { ::close(fd); });
        });
    if (!server_.bind_to_port("127.0.0.1", SOLVANE_BENCH_PORT)) {
      std::fprintf(stderr, "check_bench: cannot listen on 127.0.0.1:%d\n", SOLVANE_BENCH_PORT);
      std::exit(2);
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~BenchServer() {
    server_.stop();
    thread_.join();
  }

  // Names `file` with `sha256` as release 1.5.0.
  void Publish(const std::string& file, const std::string& sha256) {
    solvane::Json manifest;
    manifest["current"]["stable"][SOLVANE_BENCH_PLATFORM_KEY] = "1.5.0";
    manifest["releases"][SOLVANE_BENCH_PLATFORM_KEY]["1.5.0"] = {
        {"url", Url(file)}, {"sha256", sha256}, {"notes", "bench"}};
    manifest_ = manifest.dump();
  }
  std::string Url(const std::string& file) const {
    return "http://127.0.0.1:" + std::to_string(SOLVANE_BENCH_PORT) + "/solvane/files/" + file;
  }
  void CutNextAt(std::int64_t bytes) { cut_at_ = bytes; }
  std::int64_t Sent() const { return sent_; }

 private:
  fs::path files_;
  httplib::Server server_;
  std::thread thread_;
  std::string manifest_;
  std::atomic<std::int64_t> cut_at_{-1};
  std::atomic<std::int64_t> sent_{0};
};

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
