// A forwarding HTTP proxy on 127.0.0.1 for tests: it takes absolute-form GET
// requests ("GET http://127.0.0.1:port/path"), forwards them to loopback
// servers only, counts them, and can demand sign-in with a 407 answer.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace solvane::testing {

class ForwardProxy {
 public:
  // Listens on 127.0.0.1:`port` (0 picks a free one).
  explicit ForwardProxy(int port = 0);
  ~ForwardProxy();
  ForwardProxy(const ForwardProxy&) = delete;
  ForwardProxy& operator=(const ForwardProxy&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>".
  std::string Address() const;

  // From now on answers 407 with one Proxy-Authenticate header per scheme to
  // every request without a Proxy-Authorization header.
  void RequireSignIn(std::vector<std::string> schemes);

  // Request targets forwarded so far, in order.
  std::vector<std::string> Forwarded();
  // Proxy-Authorization values received so far, in order.
  std::vector<std::string> SignIns();

 private:
  void AcceptLoop();
  void Serve(int client);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::vector<std::string> schemes_;
  std::vector<std::string> forwarded_;
  std::vector<std::string> sign_ins_;
};

}  // namespace solvane::testing
