// A real HTTP or HTTPS server on 127.0.0.1 for tests, scripted per path.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/tls_certs.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace solvane::testing {

// A file served the way real links and servers misbehave. Ranges are served
// as "bytes=N-" asks for them, guarded by If-Range against `etag` (else
// `last_modified`), unless a fault says otherwise.
struct FaultyFile {
  std::string body;
  std::string etag = "\"v1\"";  // "" sends none
  std::string last_modified;    // "" sends none
  // The next responses drop the connection once the body has been sent up to
  // these shares of the file (counted from its start), one share a response.
  std::vector<double> cuts;
  bool ignore_range = false;     // answers every request with the whole file (200)
  bool ignore_if_range = false;  // serves the range even for another version's validator
  bool answer_416 = false;       // answers any Range with 416
  // 0: as fast as the link goes; else about this many body bytes per second.
  std::size_t bytes_per_second = 0;
  // Once the body has been sent up to this share of the file, the next
  // response stops sending for `stall_for` (then goes on, or is cut off).
  double stall_at = 1.0;
  std::chrono::milliseconds stall_for{0};
  // Called on the server's thread as each request arrives, before the answer.
  std::function<void()> on_request;
};

class ReleaseServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Listens for HTTP on `port` (0 picks a free one).
  explicit ReleaseServer(int port = 0);
  // Listens for HTTPS with `identity`'s certificate and key on `port`.
  explicit ReleaseServer(const TlsIdentity& identity, int port = 0);
  ~ReleaseServer();
  ReleaseServer(const ReleaseServer&) = delete;
  ReleaseServer& operator=(const ReleaseServer&) = delete;

  // Whether servers made from now on keep connections open between answers.
  // In-process tests turn it off: libcurl keeps its connections for the
  // process's next transfer, and a server's end would wait them out.
  static inline bool keep_alive_by_default = true;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path ("https://..." for an HTTPS server).
  std::string Url(const std::string& path) const;

  // Answers GET `path` with `status` and `body`.
  void Serve(const std::string& path, const std::string& body, int status = 200);
  // Answers GET `path` with a handler of the test's own.
  void Handle(const std::string& path, Handler handler);
  // Answers GET `path` with `status` and a Location header naming `target`.
  void Redirect(const std::string& path, const std::string& target, int status = 302);
  // Number of GET requests `path` received.
  int Hits(const std::string& path);
  // Header `name` of the last request for `path` ("" when absent).
  std::string LastHeader(const std::string& path, const std::string& name);
  // Connections that carried at least one request, counted by their client ports.
  int Connections();

  // Answers GET `path` with `body` as a release server with validators does:
  // a request whose If-None-Match names `etag` (else whose If-Modified-Since
  // is `last_modified`) gets a 304 without a body. With `gzip`, a request
  // that accepts gzip gets the body gzip-encoded; with `always_gzip`, every
  // request does (a host that stores its files compressed).
  struct Versioned {
    std::string body;
    std::string etag = "\"m1\"";  // "" sends none
    std::string last_modified;    // "" sends none
    bool gzip = false;
    bool always_gzip = false;
    std::string date;  // "" sends the time of the answer
  };
  void ServeVersioned(const std::string& path, Versioned file);

  // Answers GET `path` with `file` and its faults. Serving it again (a new
  // version, other faults) keeps the counters below.
  void ServeFaulty(const std::string& path, FaultyFile file);
  // Body bytes sent for `path` so far.
  std::int64_t BytesSent(const std::string& path);
  // The Range and If-Range headers of the last request for `path` ("" when absent).
  std::string LastRange(const std::string& path);
  std::string LastIfRange(const std::string& path);

 private:
  ReleaseServer(std::unique_ptr<httplib::Server> server, const char* scheme, int port);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  const char* scheme_ = "http";
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, Handler> handlers_;
  std::map<std::string, int> hits_;
  std::map<std::string, std::int64_t> bytes_sent_;
  std::map<std::string, std::pair<std::string, std::string>> last_ranges_;
  std::map<std::string, std::multimap<std::string, std::string>> last_headers_;
  std::set<std::pair<std::string, int>> clients_;
};

// `text` compressed in gzip format.
std::string Gzip(const std::string& text);

// `unix_time` as an HTTP date: "Tue, 01 Dec 2026 09:00:00 GMT".
std::string FormatHttpDate(std::int64_t unix_time);

}  // namespace solvane::testing
