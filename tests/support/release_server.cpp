#include "tests/support/release_server.h"

#include <httplib.h>

#include <chrono>
#include <stdexcept>
#include <utility>

namespace solvane::testing {

ReleaseServer::ReleaseServer(int port)
    : ReleaseServer(std::make_unique<httplib::Server>(), "http", port) {}

#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
ReleaseServer::ReleaseServer(const TlsIdentity& identity, int port)
    : ReleaseServer(std::make_unique<httplib::SSLServer>(identity.cert_path.c_str(),
                                                         identity.key_path.c_str()),
                    "https", port) {}
#endif

ReleaseServer::ReleaseServer(std::unique_ptr<httplib::Server> server, const char* scheme, int port)
    : server_(std::move(server)), scheme_(scheme) {
  if (!server_->is_valid()) throw std::runtime_error("cannot set up the test server's TLS");
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++hits_[request.path];
      const auto it = handlers_.find(request.path);
      if (it != handlers_.end()) handler = it->second;
    }
    if (handler) {
      handler(request, response);
    } else {
      response.status = 404;
      response.set_content("<html><body>not found</body></html>", "text/html");
    }
  });
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else if (server_->bind_to_port("127.0.0.1", port)) {
    port_ = port;
  }
  if (port_ <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ReleaseServer::~ReleaseServer() {
  server_->stop();
  thread_.join();
}

std::string ReleaseServer::Url(const std::string& path) const {
  return std::string(scheme_) + "://127.0.0.1:" + std::to_string(port_) + path;
}

void ReleaseServer::Serve(const std::string& path, const std::string& body, int status) {
  Handle(path, [body, status](const httplib::Request&, httplib::Response& response) {
    response.status = status;
    response.set_content(body, "application/octet-stream");
  });
}

void ReleaseServer::Handle(const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_[path] = std::move(handler);
}

void ReleaseServer::Redirect(const std::string& path, const std::string& target, int status) {
  Handle(path, [target, status](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(target, status);
  });
}

int ReleaseServer::Hits(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return hits_[path];
}

}  // namespace solvane::testing
