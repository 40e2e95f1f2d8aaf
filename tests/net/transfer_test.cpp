#include "net/transfer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "constants.h"
#include "log/activity_log.h"
#include "net/installer_transfer.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/release_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_certs.h"

// The MinGW build's test servers have no TLS (no OpenSSL there): on Windows
// these tests run over plain HTTP only.
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
#define SOLVANE_TEST_TLS 1
#endif

namespace solvane {
namespace {

using testing::ReadFile;
using testing::ReleaseServer;
using testing::TempDir;
using testing::TestPki;
using testing::TlsIdentity;
using testing::WriteFile;
namespace fs = std::filesystem;

// libcurl's texts for the codes these tests provoke.
constexpr char kTimeoutText[] = "Timeout was reached";
constexpr char kTooManyRedirectsText[] = "Number of redirects hit maximum amount";
constexpr char kWriteErrorText[] = "Failed writing received data to disk/application";
constexpr char kUnsupportedProtocolText[] = "Unsupported protocol";
constexpr char kPeerVerificationText[] = "SSL peer certificate or SSH remote key was not OK";

// What the whole binary shares: libcurl's global state, the test PKI, and the
// activity log, which this environment points into a folder of its own
// before any test.
class TransferEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
#ifndef _WIN32
    ::signal(SIGPIPE, SIG_IGN);  // a server thread writing to a client that gave up
#endif
    home_ = std::make_unique<TempDir>();
    log_path_ = home_->str() + "/SolvaneSetup.log";
    SetLogPath(log_path_);
    const std::string marker = "transfer tests: log at " + home_->str();
    LogMessage("%s", marker.c_str());
    log_fixed_here_ = ReadFile(log_path_).find(marker) != std::string::npos;
#ifdef SOLVANE_TEST_TLS
    pki_ = testing::MakeTestPki(home_->str());
#endif
    session_ = std::make_unique<TransferSession>();
    ReleaseServer::keep_alive_by_default = false;
  }
  void TearDown() override {
    session_.reset();
    home_.reset();
  }

  bool log_fixed_here() const { return log_fixed_here_; }
  const std::string& log_path() const { return log_path_; }
  const TestPki& pki() const { return pki_; }

 private:
  std::unique_ptr<TempDir> home_;
  std::unique_ptr<TransferSession> session_;
  std::string log_path_;
  bool log_fixed_here_ = false;
  TestPki pki_;
};

TransferEnvironment* const g_env =
    static_cast<TransferEnvironment*>(::testing::AddGlobalTestEnvironment(new TransferEnvironment));

TransferTuning TrustingTestCa(TransferTuning tuning = {}) {
  tuning.adjust_handle = [ca = g_env->pki().ca_cert_path](void* handle) {
    curl_easy_setopt(static_cast<CURL*>(handle), CURLOPT_CAINFO, ca.c_str());
  };
  return tuning;
}

// The installer download as the workflows run it, in one try. No digest is
// asked for: these cases are about the transfer, not the file.
TransferOutcome Download(const std::string& url, const std::string& destination,
                         const TransferTuning& tuning, const ProgressCallback& progress = {}) {
  InstallerDownload request;
  request.url = url;
  request.destination = destination;
  return DownloadWithResume(request, progress, {}, tuning).outcome;
}

// libcurl's code and text as the outcome carries them, and the kind they make.
void ExpectCurlFailure(const TransferOutcome& outcome, int code, const std::string& text,
                       OutcomeKind kind) {
  EXPECT_EQ(outcome.curl_code, code);
  EXPECT_EQ(outcome.curl_text, text);
  EXPECT_EQ(static_cast<int>(outcome.kind), static_cast<int>(kind));
}

// Reads what the activity log gained since the reader was made.
class LogReader {
 public:
  LogReader() : offset_(ReadFile(g_env->log_path()).size()) {}

  std::vector<std::string> NewLines() const {
    std::istringstream text(ReadFile(g_env->log_path()).substr(offset_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows text mode
      lines.push_back(line);
    }
    return lines;
  }

  void ExpectNothing() const { EXPECT_EQ(NewLines(), std::vector<std::string>{}); }

 private:
  std::size_t offset_;
};

// Sends `body` with its length announced, one byte at a time, `gap` apart.
ReleaseServer::Handler Drip(std::string body, std::chrono::milliseconds gap) {
  return [body, gap](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(
        body.size(), "application/octet-stream",
        [body, gap](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          if (offset > 0) std::this_thread::sleep_for(gap);
          return sink.write(body.data() + offset, 1);
        });
  };
}

// Announces `announced` bytes, sends the first `sent` and drops the connection.
ReleaseServer::Handler CutAfter(std::string sent, std::size_t announced) {
  return [sent, announced](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(announced, "application/octet-stream",
                                  [sent](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                    return offset == 0 && sink.write(sent.data(), sent.size());
                                  });
  };
}

// Sends `body` in chunked encoding, so no length is known in advance.
ReleaseServer::Handler Chunked(std::string body) {
  return [body](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "application/octet-stream", [body](std::size_t offset, httplib::DataSink& sink) {
          if (offset >= body.size()) {
            sink.done();
            return true;
          }
          return sink.write(body.data() + offset,
                            std::min<std::size_t>(1000, body.size() - offset));
        });
  };
}

// /<stem>0 -> /<stem>1 -> ... -> /<stem><count> = `final_path`'s response.
std::string RedirectChain(ReleaseServer& server, const std::string& stem, int count,
                          const std::string& final_path) {
  for (int i = 0; i < count; ++i) {
    const std::string next = i + 1 == count ? final_path : "/" + stem + std::to_string(i + 1);
    server.Redirect("/" + stem + std::to_string(i), server.Url(next));
  }
  return count == 0 ? final_path : "/" + stem + "0";
}

std::string Pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

enum class Scheme { kHttp, kHttps };

std::string SchemeName(const ::testing::TestParamInfo<Scheme>& info) {
  return info.param == Scheme::kHttp ? "Http" : "Https";
}

// One release server per test, over plain HTTP or over HTTPS with a
// certificate of the test CA, which the transfers are told to trust.
class TransferTest : public ::testing::TestWithParam<Scheme> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_env->log_fixed_here())
        << "the activity log was opened elsewhere before the transfer tests' environment";
    if (GetParam() == Scheme::kHttps) {
#ifdef SOLVANE_TEST_TLS
      server_ = std::make_unique<ReleaseServer>(g_env->pki().loopback);
#endif
    } else {
      server_ = std::make_unique<ReleaseServer>();
    }
  }

  // The settings of the shipped program, plus trust in the test CA for HTTPS.
  // `limit_seconds` shortens both limits: the manifest's on the whole
  // transfer, and the installer's on a stall (under 1000 bytes per second).
  TransferTuning Tuning(long limit_seconds = 0) const {
    TransferTuning tuning;
    tuning.timeout_seconds = limit_seconds;
    if (limit_seconds > 0) {
      tuning.stall_bytes_per_second = 1000;
      tuning.stall_seconds = limit_seconds;
    }
    return GetParam() == Scheme::kHttps ? TrustingTestCa(tuning) : tuning;
  }

  std::string Destination(const std::string& name) const { return (dir_.path() / name).string(); }

  ReleaseServer& server() { return *server_; }

  TempDir dir_;
  std::unique_ptr<ReleaseServer> server_;
};

#ifdef SOLVANE_TEST_TLS
INSTANTIATE_TEST_SUITE_P(Schemes, TransferTest, ::testing::Values(Scheme::kHttp, Scheme::kHttps),
                         SchemeName);
#else
INSTANTIATE_TEST_SUITE_P(Schemes, TransferTest, ::testing::Values(Scheme::kHttp), SchemeName);
#endif

struct ResponseCase {
  const char* name;
  // Scripts the server and returns the path to request.
  std::function<std::string(ReleaseServer&)> script;
  bool ok;
  // What FetchToMemory's body holds afterwards, and the file when `ok`.
  std::string body;
  // For transfers cut short: `body` is the whole resource and only a prefix arrives.
  bool partial = false;
  // The libcurl code and text FetchToMemory returns (0: a completed transfer),
  // and the kind of failure they are.
  int code = 0;
  const char* text = "";
  OutcomeKind kind = OutcomeKind::kOk;
  long limit_seconds = 0;
};

std::vector<ResponseCase> ResponseCases() {
  const std::string html = "<html><body><h1>404 Not Found</h1></body></html>";
  const std::string big = Pattern(4 * 1024 * 1024 + 17);
  const std::string dripped = Pattern(200);
  return {
      {"200 with a body",
       [](ReleaseServer& s) {
         s.Serve("/manifest.json", R"({"windows-x64": {"version": "1.2.0"}})");
         return "/manifest.json";
       },
       true, R"({"windows-x64": {"version": "1.2.0"}})"},
      {"200 with a 4 MiB body in many writes",
       [big](ReleaseServer& s) {
         s.Serve("/big.bin", big);
         return "/big.bin";
       },
       true, big},
      {"200 with an empty body",
       [](ReleaseServer& s) {
         s.Serve("/empty", "");
         return "/empty";
       },
       true, ""},
      {"200 without a length (chunked)",
       [big](ReleaseServer& s) {
         s.Handle("/chunked", Chunked(big.substr(0, 5000)));
         return "/chunked";
       },
       true, big.substr(0, 5000)},
      {"404 with an HTML page",
       [html](ReleaseServer& s) {
         s.Handle("/missing", [html](const httplib::Request&, httplib::Response& response) {
           response.status = 404;
           response.set_content(html, "text/html");
         });
         return "/missing";
       },
       false, html},
      {"204 without a body",
       [](ReleaseServer& s) {
         s.Handle("/nothing", [](const httplib::Request&, httplib::Response& response) {
           response.status = 204;
         });
         return "/nothing";
       },
       false, ""},
      {"500 with a text",
       [](ReleaseServer& s) {
         s.Serve("/broken", "internal error", 500);
         return "/broken";
       },
       false, "internal error"},
      {"a chain of 3 redirects ending in 200",
       [](ReleaseServer& s) {
         s.Serve("/final", "the end of the chain");
         return RedirectChain(s, "hop", 3, "/final");
       },
       true, "the end of the chain"},
      {"a chain of 30 redirects ending in 200",
       [](ReleaseServer& s) {
         s.Serve("/final", "thirty hops");
         return RedirectChain(s, "hop", 30, "/final");
       },
       true, "thirty hops"},
      {"a chain of 31 redirects",
       [](ReleaseServer& s) {
         s.Serve("/final", "one hop too far");
         return RedirectChain(s, "hop", 31, "/final");
       },
       false, "", false, CURLE_TOO_MANY_REDIRECTS, kTooManyRedirectsText, OutcomeKind::kOther},
      {"a redirect chain ending in 404",
       [html](ReleaseServer& s) {
         s.Serve("/gone", html, 404);
         return RedirectChain(s, "hop", 2, "/gone");
       },
       false, html},
      {"a connection cut mid-body",
       [dripped](ReleaseServer& s) {
         s.Handle("/cut", CutAfter(dripped.substr(0, 100), 1000));
         return "/cut";
       },
       false, dripped.substr(0, 100), false, CURLE_PARTIAL_FILE, "Transferred a partial file",
       OutcomeKind::kConnectionLost},
      {"a slow drip past the time-out",
       [dripped](ReleaseServer& s) {
         s.Handle("/drip", Drip(dripped, std::chrono::milliseconds(50)));
         return "/drip";
       },
       false, dripped, true, CURLE_OPERATION_TIMEDOUT, kTimeoutText, OutcomeKind::kTimedOut, 1},
  };
}

TEST_P(TransferTest, FetchToMemoryReportsEachResponse) {
  for (const ResponseCase& c : ResponseCases()) {
    SCOPED_TRACE(c.name);
    ReleaseServer& s = server();
    const std::string url = s.Url(c.script(s));
    const LogReader log;
    std::string body;
    const TransferOutcome outcome = FetchToMemory(url, body, Tuning(c.limit_seconds));
    EXPECT_EQ(outcome.ok(), c.ok);
    if (c.partial) {
      EXPECT_FALSE(body.empty());
      EXPECT_LT(body.size(), c.body.size());
      EXPECT_EQ(body, c.body.substr(0, body.size()));
    } else {
      EXPECT_EQ(body, c.body);
    }
    // The transfer layer leaves the telling to its caller.
    log.ExpectNothing();
    if (c.code != 0) {
      ExpectCurlFailure(outcome, c.code, c.text, c.kind);
    } else if (!c.ok) {
      // An error page is an HTTP status, whatever the page says.
      EXPECT_EQ(static_cast<int>(outcome.kind), static_cast<int>(OutcomeKind::kHttpStatus));
      EXPECT_GE(outcome.http_status, 204);
    }
  }
}

TEST_P(TransferTest, InstallerDownloadKeepsOnlyCompleteFiles) {
  for (const ResponseCase& c : ResponseCases()) {
    SCOPED_TRACE(c.name);
    ReleaseServer& s = server();
    const std::string url = s.Url(c.script(s));
    const std::string destination = Destination("Solvane-setup.exe");
    const LogReader log;
    std::vector<int> percents;
    const ProgressCallback progress = [&percents](int percent) { percents.push_back(percent); };
    EXPECT_EQ(Download(url, destination, Tuning(c.limit_seconds), progress).ok(), c.ok);
    if (c.ok) {
      ASSERT_TRUE(fs::is_regular_file(destination));
      EXPECT_EQ(ReadFile(destination), c.body);
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(destination)));
    }
    log.ExpectNothing();
  }
}

TEST_P(TransferTest, ManifestBodyStopsAtTheCap) {
  struct Case {
    std::size_t cap;
    std::size_t size;
    bool ok;
  } cases[] = {
      {1000, 1000, true},
      {1000, 1001, false},
      {1000, 64 * 1024, false},
      {kManifestBodyCap, kManifestBodyCap, true},
      {kManifestBodyCap, kManifestBodyCap + 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "cap " << c.cap << ", body " << c.size);
    server().Serve("/manifest.json", Pattern(c.size));
    const std::string url = server().Url("/manifest.json");
    TransferTuning tuning = Tuning();
    tuning.body_cap = c.cap;
    const LogReader log;
    std::string body;
    const TransferOutcome outcome = FetchToMemory(url, body, tuning);
    EXPECT_EQ(outcome.ok(), c.ok);
    EXPECT_LE(body.size(), c.cap);
    if (c.ok) {
      EXPECT_EQ(body.size(), c.size);
      log.ExpectNothing();
    } else {
      log.ExpectNothing();
      ExpectCurlFailure(outcome, CURLE_WRITE_ERROR, kWriteErrorText, OutcomeKind::kTooLarge);
    }
  }
}

TEST_P(TransferTest, ProgressGetsLibcurlsPercentagesOnlyWhenTheLengthIsKnown) {
  const std::string big = Pattern(4 * 1024 * 1024);
  server().Handle("/three", Drip("abc", std::chrono::milliseconds(200)));
  server().Serve("/big", big);
  server().Handle("/chunked", Chunked(big));

  auto download = [this](const std::string& path) {
    std::vector<int> percents;
    const ProgressCallback progress = [&percents](int percent) { percents.push_back(percent); };
    EXPECT_TRUE(Download(server().Url(path), Destination("progress.bin"), Tuning(), progress).ok());
    return percents;
  };
  auto distinct = [](const std::vector<int>& percents) {
    std::vector<int> values;
    for (int p : percents) {
      if (values.empty() || values.back() != p) values.push_back(p);
    }
    return values;
  };

  {
    SCOPED_TRACE("3 bytes, one at a time");
    // libcurl may report 0 % while it waits for the first byte; after that
    // each byte arrives on its own.
    std::vector<int> values = distinct(download("/three"));
    if (!values.empty() && values.front() == 0) values.erase(values.begin());
    EXPECT_EQ(values, (std::vector<int>{33, 66, 100}));
  }
  {
    SCOPED_TRACE("4 MiB with a length");
    const std::vector<int> percents = download("/big");
    ASSERT_FALSE(percents.empty());
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_GE(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
  }
  {
    SCOPED_TRACE("4 MiB chunked, without a length");
    EXPECT_EQ(download("/chunked"), std::vector<int>{});
  }
}

TEST_P(TransferTest, ExistingDestinationIsReplacedOrRemoved) {
  server().Serve("/new", "new");
  server().Serve("/missing", "gone", 404);
  server().Handle("/cut", CutAfter(Pattern(100), 1000));
  const struct {
    const char* path;
    bool ok;
  } cases[] = {{"/new", true}, {"/missing", false}, {"/cut", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string destination = Destination("Solvane-update.exe");
    WriteFile(destination, "an older, longer installer of the same name");
    EXPECT_EQ(Download(server().Url(c.path), destination, Tuning()).ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(ReadFile(destination), "new");
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(destination)));
    }
  }
}

TEST_P(TransferTest, UnopenableDestinationSendsNoRequest) {
  server().Serve("/installer.exe", "MZ installer");
  const std::string url = server().Url("/installer.exe");

  const fs::path folder = dir_.path() / "a folder";
  WriteFile(folder / "keep.txt", "kept");
  const fs::path orphan = dir_.path() / "no such folder" / "installer.exe";

  EXPECT_FALSE(Download(url, folder.string(), Tuning()).ok());
  EXPECT_EQ(ReadFile(folder / "keep.txt"), "kept");

  EXPECT_FALSE(Download(url, orphan.string(), Tuning()).ok());
  EXPECT_FALSE(fs::exists(orphan.parent_path()));

  EXPECT_EQ(server().Hits("/installer.exe"), 0);
}

#ifndef _WIN32  // a file-size limit
// Runs the installer download in a child process whose files may not grow
// past `limit` bytes; returns its result, or -1 when the child did not finish
// normally.
int DownloadUnderFileSizeLimit(const std::string& url, const std::string& destination, rlim_t limit,
                               const TransferTuning& tuning) {
  const testing::FileSizeLimit limited(limit);
  if (!limited.active()) return -1;
  return Download(url, destination, tuning).ok() ? 1 : 0;
}

TEST_P(TransferTest, WriteFailureFailsTheDownloadAndRemovesTheFile) {
  const struct {
    const char* name;
    std::size_t size;
    rlim_t limit;
    bool ok;
  } cases[] = {
      {"the body fits", 1024 * 1024, 4 * 1024 * 1024, true},
      {"a write fails mid-body", 1024 * 1024, 64 * 1024, false},
      {"only the final flush fails", 3000, 1000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server().Serve("/installer.exe", Pattern(c.size));
    const std::string destination = Destination("Solvane-setup.exe");
    EXPECT_EQ(
        DownloadUnderFileSizeLimit(server().Url("/installer.exe"), destination, c.limit, Tuning()),
        c.ok ? 1 : 0);
    if (c.ok) {
      EXPECT_EQ(fs::file_size(destination), c.size);
      fs::remove(destination);
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(destination)));
    }
  }
}
#endif

#ifdef SOLVANE_TEST_TLS
// An https release may not be redirected to plain http; an http URL (the
// loopback and demo set-ups) may go anywhere.
TEST(TransferRedirects, HttpsUrlsFollowOnlyHttpsRedirects) {
  ASSERT_TRUE(g_env->log_fixed_here());
  ReleaseServer plain;
  ReleaseServer secure(g_env->pki().loopback);
  plain.Serve("/installer.exe", "plain bytes");
  secure.Serve("/installer.exe", "secure bytes");
  secure.Redirect("/to-plain", plain.Url("/installer.exe"));
  plain.Redirect("/to-secure", secure.Url("/installer.exe"));

  const std::string upper = "HTTPS" + secure.Url("/to-plain").substr(5);
  const struct {
    std::string url;
    bool ok;
    const char* body;
  } cases[] = {
      {secure.Url("/to-plain"), false, ""},
      {upper, false, ""},
      {plain.Url("/to-secure"), true, "secure bytes"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const LogReader log;
    std::string body;
    const TransferOutcome outcome = FetchToMemory(c.url, body, TrustingTestCa());
    EXPECT_EQ(outcome.ok(), c.ok);
    EXPECT_EQ(body, c.body);
    if (c.ok) {
      log.ExpectNothing();
    } else {
      log.ExpectNothing();
      ExpectCurlFailure(outcome, CURLE_UNSUPPORTED_PROTOCOL, kUnsupportedProtocolText,
                        OutcomeKind::kOther);
    }
    const std::string destination = (dir.path() / "Solvane-setup.exe").string();
    const TransferOutcome download = Download(c.url, destination, TrustingTestCa());
    EXPECT_EQ(download.ok(), c.ok);
    if (!c.ok) {
      ExpectCurlFailure(download, CURLE_UNSUPPORTED_PROTOCOL, kUnsupportedProtocolText,
                        OutcomeKind::kOther);
    }
    EXPECT_EQ(fs::exists(destination), c.ok);
  }
  EXPECT_EQ(plain.Hits("/installer.exe"), 0);
}

// Certificate and host-name verification stay on: only a certificate for
// 127.0.0.1 from a trusted CA gets through.
TEST(TransferTls, OnlyATrustedCertificateForTheHostIsAccepted) {
  ASSERT_TRUE(g_env->log_fixed_here());
  const TestPki& pki = g_env->pki();
  const struct {
    const char* name;
    const TlsIdentity& identity;
    bool trust_test_ca;
    bool ok;
  } cases[] = {
      {"self-signed, system trust", pki.self_signed, false, false},
      {"self-signed, test CA trusted", pki.self_signed, true, false},
      {"test CA, system trust", pki.loopback, false, false},
      {"test CA, test CA trusted", pki.loopback, true, true},
      {"another host's certificate, test CA trusted", pki.wrong_host, true, false},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseServer server(c.identity);
    server.Serve("/manifest.json", "{}");
    const std::string url = server.Url("/manifest.json");
    const TransferTuning tuning = c.trust_test_ca ? TrustingTestCa() : TransferTuning{};

    const LogReader log;
    std::string body;
    const TransferOutcome outcome = FetchToMemory(url, body, tuning);
    EXPECT_EQ(outcome.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(body, "{}");
      log.ExpectNothing();
    } else {
      EXPECT_EQ(body, "");
      log.ExpectNothing();
      ExpectCurlFailure(outcome, CURLE_PEER_FAILED_VERIFICATION, kPeerVerificationText,
                        OutcomeKind::kUntrustedCertificate);
    }

    const std::string destination = (dir.path() / "Solvane-setup.exe").string();
    const TransferOutcome download = Download(url, destination, tuning);
    EXPECT_EQ(download.ok(), c.ok);
    if (!c.ok) {
      ExpectCurlFailure(download, CURLE_PEER_FAILED_VERIFICATION, kPeerVerificationText,
                        OutcomeKind::kUntrustedCertificate);
    }
    EXPECT_EQ(fs::exists(destination), c.ok);
    fs::remove(destination);
    EXPECT_EQ(server.Hits("/manifest.json"), c.ok ? 2 : 0);
  }
}
#endif

}  // namespace
}  // namespace solvane

namespace solvane {
namespace {

// A file served with validators, gzip-encoded to every request.
ReleaseServer::Versioned Versioned(const std::string& body, const std::string& etag,
                                   const std::string& last_modified, bool always_gzip) {
  ReleaseServer::Versioned file;
  file.body = body;
  file.etag = etag;
  file.last_modified = last_modified;
  file.always_gzip = always_gzip;
  return file;
}

TEST_P(TransferTest, ACompressedManifestIsCappedOnItsDecodedBytes) {
  // A few KiB that decode to 48 MiB stop at the cap, holding no more than it.
  server().ServeVersioned("/bomb.json", Versioned(std::string(48u << 20, '\0'), "", "", true));
  std::string body;
  const TransferOutcome outcome = FetchToMemory(server().Url("/bomb.json"), body, Tuning());
  EXPECT_EQ(static_cast<int>(outcome.kind), static_cast<int>(OutcomeKind::kTooLarge));
  EXPECT_LE(body.size(), kManifestBodyCap);
  EXPECT_GT(body.size(), kManifestBodyCap / 2);
}

TEST_P(TransferTest, WithoutAnETagTheDateIsTheValidator) {
  const std::string date = "Tue, 01 Dec 2026 09:00:00 GMT";
  server().ServeVersioned("/dated.json", Versioned("{}", "", date, false));
  std::string body;
  const TransferOutcome first = FetchToMemory(server().Url("/dated.json"), body, Tuning());
  EXPECT_EQ(first.validators.last_modified, date);
  EXPECT_EQ(first.validators.etag, "");
  const TransferOutcome again =
      FetchToMemory(server().Url("/dated.json"), body, Tuning(), first.validators);
  EXPECT_TRUE(again.not_modified());
  EXPECT_EQ(body, "{}");

  // Modified within the second the answer was sent: the file may change
  // again within it and keep its date, so the date tells nothing.
  server().ServeVersioned(
      "/fresh.json", Versioned("{}", "", testing::FormatHttpDate(std::time(nullptr) + 5), false));
  EXPECT_EQ(FetchToMemory(server().Url("/fresh.json"), body, Tuning()).validators.last_modified,
            "");
}

}  // namespace
}  // namespace solvane
