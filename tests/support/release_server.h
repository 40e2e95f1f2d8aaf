// A real HTTP server on 127.0.0.1 for tests, scripted per path.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace solvane::testing {

class ReleaseServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Listens on `port` (0 picks a free one).
  explicit ReleaseServer(int port = 0);
  ~ReleaseServer();
  ReleaseServer(const ReleaseServer&) = delete;
  ReleaseServer& operator=(const ReleaseServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path) const;

  // Answers GET `path` with `status` and `body`.
  void Serve(const std::string& path, const std::string& body, int status = 200);
  // Answers GET `path` with a handler of the test's own.
  void Handle(const std::string& path, Handler handler);
  // Number of GET requests `path` received.
  int Hits(const std::string& path);

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, Handler> handlers_;
  std::map<std::string, int> hits_;
};

}  // namespace solvane::testing
