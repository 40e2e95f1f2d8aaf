// A real HTTP or HTTPS server on 127.0.0.1 for tests, scripted per path.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/tls_certs.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace solvane::testing {

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

 private:
  ReleaseServer(std::unique_ptr<httplib::Server> server, const char* scheme, int port);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  const char* scheme_ = "http";
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, Handler> handlers_;
  std::map<std::string, int> hits_;
};

}  // namespace solvane::testing
