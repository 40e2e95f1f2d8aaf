// What update checks cost the release server: the bytes a check of an
// unchanged release receives on the wire and the connections a check opens
// (the real program, through a counting TCP relay), the busiest minute of
// 10,000 installations driven by the check's own scheduling functions, and a
// gzip bomb against the manifest's cap. Not a test: it prints figures; run
// by scripts/bench.sh server.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/check_schedule.h"
#include "constants.h"
#include "net/transfer.h"

namespace fs = std::filesystem;
using namespace solvane;

namespace {

// A TCP relay from `port` to the server on `backend`, counting connections
// and the bytes that travel back to the client, headers and all.
class CountingRelay {
 public:
  CountingRelay(int port, int backend) : backend_(backend) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0) {
      std::fprintf(stderr, "server_load_bench: cannot listen on %d\n", port);
      std::exit(2);
    }
    thread_ = std::thread([this] { Accept(); });
  }
  ~CountingRelay() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
    for (std::thread& t : pipes_) t.join();
  }
  long long received() const { return received_; }
  int connections() const { return connections_; }
  void Reset() {
    received_ = 0;
    connections_ = 0;
  }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  void Accept() {
    while (!stop_) {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      ++connections_;
      const int server = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = Loopback(backend_);
      if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(client);
        close(server);
        continue;
      }
      pipes_.emplace_back([this, client, server] { Pipe(client, server); });
    }
  }
  void Pipe(int client, int server) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[64 * 1024];
    while (poll(fds, 2, -1) > 0) {
      const bool from_server = fds[1].revents != 0;
      const int from = from_server ? server : client, to = from_server ? client : server;
      const ssize_t n = read(from, buffer, sizeof buffer);
      if (n <= 0 || write(to, buffer, static_cast<std::size_t>(n)) != n) break;
      if (from_server) received_ += n;
    }
    close(client);
    close(server);
  }

  int backend_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<long long> received_{0};
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::vector<std::thread> pipes_;
};

// A manifest of a product with a long history: many releases with notes.
std::string RealisticManifest(const std::string& installer_url) {
  std::string releases;
  for (int minor = 0; minor < 40; ++minor) {
    releases += "\"1." + std::to_string(minor) + ".0\":{\"url\":\"" + installer_url +
                "\",\"notes\":\"" + std::string(300, 'n') + "\"},";
  }
  return "{\"current\":{\"stable\":{\"" SOLVANE_BENCH_PLATFORM_KEY
         "\":\"1.5.0\"}},\"releases\":{\"" SOLVANE_BENCH_PLATFORM_KEY "\":{" +
         releases + "\"1.5.0\":{\"url\":\"" + installer_url + "\"}}}}";
}

int RunCheck(const fs::path& home) {
  const pid_t child = fork();
  if (child == 0) {
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    execl(SOLVANE_BENCH_PROGRAM, SOLVANE_BENCH_PROGRAM, "--check", "1.4.0", "--force", nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void WireAndConnections(const fs::path& work) {
  httplib::Server server;
  const std::string installer(4 << 20, 'i');
  std::string manifest;
  server.Get("/solvane/manifest.json",
             [&](const httplib::Request& request, httplib::Response& response) {
               response.set_header("ETag", "\"m1\"");
               if (request.get_header_value("If-None-Match") == "\"m1\"") {
                 response.status = 304;
                 return;
               }
               response.set_content(manifest, "application/json");
             });
  server.Get("/solvane/Solvane-1.5.0.exe", [&](const httplib::Request&, httplib::Response& r) {
    r.set_content(installer, "application/octet-stream");
  });
  const int backend = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  CountingRelay relay(SOLVANE_BENCH_PORT, backend);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(SOLVANE_BENCH_PORT) + "/solvane/Solvane-1.5.0.exe";
  manifest = RealisticManifest(url);

  const fs::path home = work / "home";
  fs::remove_all(home);
  RunCheck(home);
  const long long first = relay.received();
  const int first_connections = relay.connections();
  relay.Reset();
  RunCheck(home);
  std::printf(
      "unchanged release: first check (manifest %zu bytes + %zu-byte installer) received "
      "%lld bytes on %d connection(s); the next check %lld bytes on %d connection(s)\n",
      manifest.size(), installer.size(), first, first_connections, relay.received(),
      relay.connections());
  std::printf(
      "  (a check that asked without validators, as before, receives the whole manifest "
      "again: about %zu bytes)\n",
      manifest.size());
  server.stop();
  serving.join();
}

// 10,000 installations whose products start the check at 9:00-9:05 every
// day, each check recorded at its own time, as RunCheck does.
void Simulation(std::int64_t spread, bool tolerance) {
  constexpr int kInstallations = 10000, kDays = 7;
  constexpr std::int64_t kNine = 1'796'000'000 / 86400 * 86400 + 9 * 3600;
  std::mt19937 random(12345);
  const UniformDraw draw = [&random](std::uint32_t bound) {
    return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random);
  };
  std::vector<std::int64_t> last(kInstallations, 0);
  std::vector<int> days_checked(kInstallations, 0);
  std::map<std::int64_t, int> per_minute;
  for (int day = 0; day < kDays; ++day) {
    for (int i = 0; i < kInstallations; ++i) {
      const std::int64_t start =
          kNine + day * 86400 + std::uniform_int_distribution<int>(0, 299)(random);
      const bool due = tolerance ? UnforcedCheckTiming(last[i], 0, start) == CheckTiming::kDue
                                 : !(last[i] > start - kCheckIntervalSeconds);
      if (!due) continue;
      const std::int64_t asked = start + SpreadWaitSeconds(spread, draw);
      ++per_minute[asked / 60];
      last[i] = asked + 1;  // recorded after the fetch
      ++days_checked[i];
    }
  }
  int busiest_minute = 0;
  for (const auto& [minute, count] : per_minute) busiest_minute = std::max(busiest_minute, count);
  std::map<std::int64_t, int> per_hour;
  for (const auto& [minute, count] : per_minute) per_hour[minute / 60] += count;
  int busiest_hour = 0;
  for (const auto& [hour, count] : per_hour) busiest_hour = std::max(busiest_hour, count);
  const int every_day =
      static_cast<int>(std::count(days_checked.begin(), days_checked.end(), kDays));
  std::printf(
      "spread %5lld s, %s: busiest minute %5d checks, busiest hour's average minute "
      "%6.1f (ratio %.2f); %d of %d installations checked on all %d days\n",
      static_cast<long long>(spread), tolerance ? "due after 23 h" : "due after 24 h",
      busiest_minute, busiest_hour / 60.0, busiest_minute / (busiest_hour / 60.0), every_day,
      kInstallations, kDays);
}

// gzip of `size` zero bytes, made piece by piece; `layers` times over.
std::string GzipZeros(std::size_t size, int layers) {
  std::string data;
  auto pack = [](auto&& feed) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    std::string out;
    char buffer[64 * 1024];
    feed([&](const char* bytes, std::size_t n, bool last) {
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
      stream.avail_in = static_cast<uInt>(n);
      do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
      } while (stream.avail_out == 0);
    });
    deflateEnd(&stream);
    return out;
  };
  const std::string zeros(1 << 20, '\0');
  data = pack([&](auto&& put) {
    for (std::size_t done = 0; done < size; done += zeros.size()) {
      put(zeros.data(), zeros.size(), done + zeros.size() >= size);
    }
  });
  for (int layer = 1; layer < layers; ++layer) {
    data = pack([&](auto&& put) { put(data.data(), data.size(), true); });
  }
  return data;
}

long PeakKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void GzipBomb() {
  const std::size_t decoded = std::size_t{4} << 30;
  const std::string bomb = GzipZeros(decoded, 2);
  httplib::Server server;
  server.Get("/manifest.json", [&](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Encoding", "gzip, gzip");
    response.set_content(bomb, "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    // A fresh process, so that its peak memory is the fetch's alone.
    TransferSession session;
    const long before = PeakKib();
    std::string body;
    const TransferOutcome outcome =
        FetchToMemory("http://127.0.0.1:" + std::to_string(port) + "/manifest.json", body);
    std::printf(
        "gzip bomb: %zu bytes on the wire decoding to %zu MiB: %s after %zu decoded bytes "
        "(cap %zu); peak memory %ld KiB, %ld KiB above the process before the fetch\n",
        bomb.size(), decoded >> 20,
        outcome.kind == OutcomeKind::kTooLarge ? "stopped at the cap" : "NOT stopped", body.size(),
        kManifestBodyCap, PeakKib(), PeakKib() - before);
    std::fflush(stdout);
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  server.stop();
  serving.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: server_load_bench WORK_FOLDER\n");
    return 2;
  }
  WireAndConnections(argv[1]);
  for (const std::int64_t spread : {std::int64_t{0}, std::int64_t{600}, std::int64_t{1800},
                                    std::int64_t{2400}, std::int64_t{3600}}) {
    Simulation(spread, true);
  }
  Simulation(600, false);
  GzipBomb();
  return 0;
}
