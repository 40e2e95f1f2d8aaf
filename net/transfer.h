// HTTP GET transfers through libcurl's easy interface: a manifest into
// memory, an installer into a file. The caller owns curl_global_init/cleanup.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "constants.h"
#include "net/proxy_route.h"

namespace solvane {

// Receives the downloaded share in whole per cent (not clamped).
using ProgressCallback = std::function<void(int percent)>;

// What the program leaves at its defaults. Tests shorten the limits and may
// adjust the handle (for example to trust their own CA); the program itself
// never sets `adjust_handle`.
struct TransferTuning {
  long timeout_seconds = 0;  // 0: the built-in limit of the operation
  // An installer transfer fails only when it stalls: below this many bytes per
  // second for this many seconds in a row. 0: the built-in values.
  long stall_bytes_per_second = 0;
  long stall_seconds = 0;
  std::size_t body_cap = kManifestBodyCap;
  std::function<void(void* curl_handle)> adjust_handle;
};

// What became of one transfer, for the workflow to report.
enum class OutcomeKind {
  kOk,                    // completed with status 200 (and, for a file, the right digest)
  kHttpStatus,            // the server answered another status (`http_status`)
  kProxySignIn,           // the proxy refused the sign-in: 407, also to a CONNECT
  kCannotResolve,         // the server's or the proxy's name was not found
  kCannotConnect,         // nothing accepted the connection
  kUntrustedCertificate,  // the server's certificate did not verify
  kTimedOut,              // the manifest's whole-transfer limit passed
  kStalled,               // an installer transfer stayed below its stall limit
  kConnectionLost,        // the connection broke part-way through
  kTooLarge,              // the body outgrew its cap
  kCannotWrite,           // the bytes could not reach the disk
  kDigestMismatch,        // every byte arrived, but not the published file
  kOther,                 // another libcurl failure (`curl_code`, `curl_text`)
};

struct TransferOutcome {
  OutcomeKind kind = OutcomeKind::kOk;
  long http_status = 0;   // the final response's status; 0 when none came
  int curl_code = 0;      // libcurl's CURLcode, 0 for success
  std::string curl_text;  // curl_easy_strerror of it ("" for success)
  ProxyRoute route;       // the route the transfer took
  // Bytes kept: the body in memory, or what the destination file holds
  // afterwards (a resumable partial file, or the whole file).
  std::int64_t bytes_held = 0;
  bool kept_for_resume = false;  // the destination keeps its bytes for a later try

  bool ok() const { return kind == OutcomeKind::kOk; }
};

// Appends the resource at `url` to `body`. Ok only for a completed transfer
// with final status 200; `body` keeps whatever arrived, also on failure.
[[nodiscard]] TransferOutcome FetchManifest(const std::string& url, std::string& body,
                                            const TransferTuning& tuning = {});

// Writes the resource at `url` into `destination`, reporting progress when
// `progress` is set. Ok only for a completed transfer with final status 200
// whose bytes all reached the disk; on failure nothing is left at `destination`.
[[nodiscard]] TransferOutcome DownloadFile(const std::string& url, const std::string& destination,
                                           const ProgressCallback& progress,
                                           const TransferTuning& tuning = {});

// What a caller keeps of an installer download that stopped part-way: enough
// to ask the server, in a later run, for the rest of the same file.
struct PartialDownload {
  std::string url;
  std::string sha256;      // the digest the finished file must have ("": unverified)
  std::int64_t bytes = 0;  // bytes held in the file when this was reported
  std::string validator;   // the server's ETag, else its Last-Modified
};

struct InstallerDownload {
  std::string url;
  std::string sha256;       // expected lower-case hex digest; "" accepts the file unverified
  std::string destination;  // the file that holds the bytes
  // What the caller kept of an earlier try. Used only when its url and sha256
  // are this download's and the destination still holds bytes; otherwise the
  // destination starts empty.
  std::optional<PartialDownload> held;
  // Tries after a broken connection (each resumes from the bytes held) and the
  // pause before each further one.
  int attempts = 1;
  std::chrono::milliseconds pause{2000};
};

struct InstallerDownloadResult {
  // Every byte arrived and reached the disk (whether or not the digest matched).
  bool received = false;
  // The destination holds exactly the resource, its digest matched and it
  // reached the disk.
  bool complete = false;
  // Set when the destination keeps bytes that a later call can resume from;
  // otherwise nothing is left at the destination unless `complete`.
  std::optional<PartialDownload> partial;
  std::int64_t bytes_received = 0;  // body bytes that crossed the wire in this call
  int restarts = 0;                 // times the held bytes were thrown away in this call
  TransferOutcome outcome;          // what became of the download, ok only when `complete`
};

// Told of the partial download as soon as a response is accepted, before its
// body is written, so that a record of it survives a killed process.
using PartialCallback = std::function<void(const PartialDownload&)>;

// Downloads an installer into `request.destination`, hashing the bytes as they
// arrive. It resumes from held bytes with "Range" and "If-Range"; any sign that
// the server's file is not the one the held bytes came from (a 200, a 416, a
// different or missing validator, a Content-Range not starting at the held
// size) throws the held bytes away and starts from zero, once per call. The
// transfer fails only when it stalls (TransferTuning), never because of its
// duration. On completion the file is flushed to the disk and its digest
// compared; a mismatch deletes it.
InstallerDownloadResult DownloadWithResume(const InstallerDownload& request,
                                           const ProgressCallback& progress,
                                           const PartialCallback& on_partial,
                                           const TransferTuning& tuning = {});

}  // namespace solvane

namespace solvane {

// Pairs curl_global_init(CURL_GLOBAL_ALL) with curl_global_cleanup for the
// span of a workflow that transfers.
class TransferSession {
 public:
  TransferSession();
  ~TransferSession();
  TransferSession(const TransferSession&) = delete;
  TransferSession& operator=(const TransferSession&) = delete;
};

}  // namespace solvane
