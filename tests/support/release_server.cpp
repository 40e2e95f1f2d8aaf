#include "tests/support/release_server.h"

#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <thread>
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
  if (!keep_alive_by_default) server_->set_keep_alive_max_count(1);
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++hits_[request.path];
      clients_.insert({request.remote_addr, request.remote_port});
      auto& headers = last_headers_[request.path];
      headers.clear();
      for (const auto& [name, value] : request.headers) headers.emplace(name, value);
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

std::string ReleaseServer::LastHeader(const std::string& path, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [key, value] : last_headers_[path]) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return value;
    }
  }
  return "";
}

int ReleaseServer::Connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(clients_.size());
}

void ReleaseServer::ServeVersioned(const std::string& path, Versioned file) {
  const std::string packed = Gzip(file.body);
  Handle(path, [file, packed](const httplib::Request& request, httplib::Response& response) {
    response.set_header("Date", file.date.empty() ? FormatHttpDate(std::time(nullptr)) : file.date);
    if (!file.etag.empty()) response.set_header("ETag", file.etag);
    if (!file.last_modified.empty()) response.set_header("Last-Modified", file.last_modified);
    const bool same =
        request.has_header("If-None-Match")
            ? !file.etag.empty() && request.get_header_value("If-None-Match") == file.etag
            : request.has_header("If-Modified-Since") && !file.last_modified.empty() &&
                  request.get_header_value("If-Modified-Since") == file.last_modified;
    if (same) {
      response.status = 304;
      return;
    }
    response.status = 200;
    const bool gzip = file.always_gzip ||
                      (file.gzip && request.get_header_value("Accept-Encoding").find("gzip") !=
                                        std::string::npos);
    if (gzip) {
      response.set_header("Content-Encoding", "gzip");
      response.set_content(packed, "application/octet-stream");
    } else {
      response.set_content(file.body, "application/octet-stream");
    }
  });
}

std::string Gzip(const std::string& text) {
  z_stream stream{};
  // 15 + 16: a gzip header and trailer around the deflate stream.
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

std::string FormatHttpDate(std::int64_t unix_time) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t time = static_cast<std::time_t>(unix_time);
  const std::tm utc = *std::gmtime(&time);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

namespace {

// What the responses for one served file share.
struct FaultyState {
  FaultyFile file;
  std::size_t next_cut = 0;
  bool stalled = false;
};

std::size_t ShareOf(double share, std::size_t size) {
  if (share >= 1.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(share * static_cast<double>(size));
}

// The N of "bytes=N-", or -1 for anything else.
long long OpenRangeStart(const std::string& value) {
  static const char kUnit[] = "bytes=";
  if (value.compare(0, sizeof kUnit - 1, kUnit) != 0 || value.back() != '-') return -1;
  const std::string digits = value.substr(sizeof kUnit - 1, value.size() - sizeof kUnit);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::atoll(digits.c_str());
}

}  // namespace

void ReleaseServer::ServeFaulty(const std::string& path, FaultyFile file) {
  auto state = std::make_shared<FaultyState>();
  state->file = std::move(file);
  Handle(path, [this, path, state](const httplib::Request& request, httplib::Response& response) {
    const FaultyFile& f = state->file;
    if (f.on_request) f.on_request();
    const std::size_t size = f.body.size();
    std::size_t cut = std::numeric_limits<std::size_t>::max();
    std::size_t stall = std::numeric_limits<std::size_t>::max();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_ranges_[path] = {request.get_header_value("Range"),
                            request.get_header_value("If-Range")};
      if (state->next_cut < f.cuts.size()) cut = ShareOf(f.cuts[state->next_cut++], size);
      if (!state->stalled && f.stall_for.count() > 0) {
        state->stalled = true;
        stall = ShareOf(f.stall_at, size);
      }
    }
    if (!f.etag.empty()) response.set_header("ETag", f.etag);
    if (!f.last_modified.empty()) response.set_header("Last-Modified", f.last_modified);

    const bool ranged = request.has_header("Range");
    std::size_t from = 0;
    if (ranged && !f.ignore_range) {
      const std::string if_range = request.get_header_value("If-Range");
      const std::string current = f.etag.empty() ? f.last_modified : f.etag;
      const bool same = !request.has_header("If-Range") || f.ignore_if_range || if_range == current;
      const long long start = OpenRangeStart(request.get_header_value("Range"));
      if (f.answer_416 || (same && (start < 0 || static_cast<std::size_t>(start) >= size))) {
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
      }
      if (same) from = static_cast<std::size_t>(start);
    }
    // Sends from `offset` on, at the throttled pace, up to the cut.
    auto send = [this, path, state, cut, stall](std::size_t offset, std::size_t length,
                                                httplib::DataSink& sink) {
      const FaultyFile& file = state->file;
      std::size_t n = std::min<std::size_t>(length, 64 * 1024);
      if (file.bytes_per_second > 0)
        n = std::min(n, std::max<std::size_t>(1, file.bytes_per_second / 20));
      if (offset < cut) n = std::min(n, cut - offset);
      if (offset < stall) n = std::min(n, stall - offset);
      if (offset == stall) std::this_thread::sleep_for(file.stall_for);
      if (offset >= cut) return false;  // drops the connection
      if (file.bytes_per_second > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(
            static_cast<long long>(n) * 1000000 / static_cast<long long>(file.bytes_per_second)));
      }
      if (!sink.write(file.body.data() + offset, n)) return false;
      std::lock_guard<std::mutex> lock(mutex_);
      bytes_sent_[path] += static_cast<std::int64_t>(n);
      return true;
    };
    if (from > 0) {
      // The library serves the range itself, from the Range header.
      response.status = 206;
      response.set_content_provider(size, "application/octet-stream", send);
    } else if (ranged) {
      // The whole file to a request with a Range: sent chunked, since the
      // library would otherwise cut it to the range.
      response.status = 200;
      response.set_chunked_content_provider(
          "application/octet-stream", [send, size](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= size) {
              sink.done();
              return true;
            }
            return send(offset, size - offset, sink);
          });
    } else {
      response.status = 200;
      response.set_content_provider(size, "application/octet-stream", send);
    }
  });
}

std::int64_t ReleaseServer::BytesSent(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_sent_[path];
}

std::string ReleaseServer::LastRange(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_ranges_[path].first;
}

std::string ReleaseServer::LastIfRange(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_ranges_[path].second;
}

}  // namespace solvane::testing
