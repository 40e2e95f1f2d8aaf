// What the benchmarks that run the real program share: starting a client as
// a fresh process (time, peak memory, exit code), and a loopback release
// server that serves a manifest and files with ETags and ranges, counts the
// body bytes it sends and can cut one download short.
#pragma once

#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "state/state_file.h"

extern char** environ;

namespace solvane::bench {

namespace fs = std::filesystem;

struct Run {
  double seconds = 0;
  long max_rss_kib = 0;
  int exit_code = -1;
};

inline Run Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
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
    std::fprintf(stderr, "bench: cannot start %s\n", argv[0]);
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

inline double Median(std::vector<double> values) { return SpreadOf(values).median; }

// The release server: a manifest naming one file, the files themselves with
// an ETag and ranges, a byte counter and a one-time cut.
class BenchServer {
 public:
  explicit BenchServer(fs::path files) : files_(std::move(files)) {
    server_.Get("/solvane/manifest.json", [this](const httplib::Request&, httplib::Response& res) {
      const std::lock_guard<std::mutex> lock(mutex_);
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
      std::fprintf(stderr, "bench: cannot listen on 127.0.0.1:%d\n", SOLVANE_BENCH_PORT);
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
    Json manifest;
    manifest["current"]["stable"][SOLVANE_BENCH_PLATFORM_KEY] = "1.5.0";
    manifest["releases"][SOLVANE_BENCH_PLATFORM_KEY]["1.5.0"] = {
        {"url", Url(file)}, {"sha256", sha256}, {"notes", "bench"}};
    SetManifest(manifest);
  }
  void SetManifest(const Json& manifest) {
    const std::lock_guard<std::mutex> lock(mutex_);
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
  std::mutex mutex_;
  std::string manifest_;
  std::atomic<std::int64_t> cut_at_{-1};
  std::atomic<std::int64_t> sent_{0};
};

}  // namespace solvane::bench
