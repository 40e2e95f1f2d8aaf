#include "tests/support/forward_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "platform/encoding.h"

namespace solvane::testing {
namespace {

bool SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads up to the blank line that ends a request head; "" at end of stream.
std::string ReadHead(int fd, std::string& buffer) {
  while (buffer.find("\r\n\r\n") == std::string::npos) {
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return {};
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
  const auto end = buffer.find("\r\n\r\n") + 4;
  std::string head = buffer.substr(0, end);
  buffer.erase(0, end);
  return head;
}

int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

}  // namespace

ForwardProxy::ForwardProxy(int port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("the test proxy cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ForwardProxy::~ForwardProxy() {
  stop_ = true;
  acceptor_.join();
  ::close(listener_);
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
}

std::string ForwardProxy::Address() const { return "127.0.0.1:" + std::to_string(port_); }

void ForwardProxy::RequireSignIn(std::vector<std::string> schemes) {
  std::lock_guard<std::mutex> lock(mutex_);
  schemes_ = std::move(schemes);
}

std::vector<std::string> ForwardProxy::Forwarded() {
  std::lock_guard<std::mutex> lock(mutex_);
  return forwarded_;
}

std::vector<std::string> ForwardProxy::SignIns() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sign_ins_;
}

void ForwardProxy::AcceptLoop() {
  while (!stop_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 50) <= 0) continue;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    // A client that stops talking must not hold up the test's end.
    timeval limit{5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back([this, client] {
      Serve(client);
      ::close(client);
    });
  }
}

// One client connection: 407 answers keep it open (sign-in handshakes need
// that); a forwarded request ends it.
void ForwardProxy::Serve(int client) {
  std::string buffer;
  for (;;) {
    const std::string head = ReadHead(client, buffer);
    if (head.empty()) return;
    const auto line_end = head.find("\r\n");
    const std::string request_line = head.substr(0, line_end);
    std::string authorization;
    std::string forwarded_headers;
    for (auto at = line_end + 2; at < head.size();) {
      const auto next = head.find("\r\n", at);
      const std::string header = head.substr(at, next - at);
      at = next + 2;
      if (header.empty()) break;
      const std::string name = AsciiLower(header.substr(0, header.find(':')));
      if (name == "proxy-authorization") {
        authorization = header.substr(header.find(':') + 1);
        authorization.erase(0, authorization.find_first_not_of(' '));
      } else if (name != "proxy-connection" && name != "connection") {
        forwarded_headers += header + "\r\n";
      }
    }

    std::vector<std::string> schemes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      schemes = schemes_;
      if (!authorization.empty()) sign_ins_.push_back(authorization);
    }
    if (!schemes.empty() && authorization.empty()) {
      std::string answer = "HTTP/1.1 407 Proxy Authentication Required\r\n";
      for (const std::string& scheme : schemes) answer += "Proxy-Authenticate: " + scheme + "\r\n";
      answer += "Content-Length: 0\r\n\r\n";
      if (!SendAll(client, answer)) return;
      continue;
    }

    // "GET http://127.0.0.1:<port>/path HTTP/1.1": loopback targets only.
    const std::string prefix = "GET http://127.0.0.1:";
    const auto version = request_line.rfind(' ');
    if (request_line.compare(0, prefix.size(), prefix) != 0 || version == std::string::npos) {
      SendAll(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    const std::string target = request_line.substr(4, version - 4);
    const auto path_at = target.find('/', prefix.size() - 4);
    const int port = std::atoi(target.c_str() + (prefix.size() - 4));
    const std::string path = path_at == std::string::npos ? "/" : target.substr(path_at);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      forwarded_.push_back(target);
    }
    const int server = ConnectLoopback(port);
    if (server < 0) {
      SendAll(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    SendAll(server,
            "GET " + path + " HTTP/1.1\r\n" + forwarded_headers + "Connection: close\r\n\r\n");
    char chunk[16384];
    for (ssize_t n; (n = ::recv(server, chunk, sizeof chunk, 0)) > 0;) {
      if (!SendAll(client, std::string(chunk, static_cast<std::size_t>(n)))) break;
    }
    ::close(server);
    return;
  }
}

}  // namespace solvane::testing
