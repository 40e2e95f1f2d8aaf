// HTTP GET through libcurl's easy interface: what every transfer is tuned
// with and comes to, and a small file (the manifest, its signature) fetched
// into memory. The installer's
// resumable download is in net/installer_transfer.h. The caller owns
// curl_global_init/cleanup (TransferSession).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "constants.h"
#include "net/proxy_route.h"

namespace solvane {

// What the program mostly leaves at its defaults. Tests shorten the limits
// and may adjust the handle (for example to trust their own CA); the program
// itself never sets `adjust_handle`.
struct TransferTuning {
  long timeout_seconds = 0;  // 0: the built-in limit of the operation
  // An installer transfer fails only when it stalls: below this many bytes per
  // second for this many seconds in a row. 0: the built-in values.
  long stall_bytes_per_second = 0;
  long stall_seconds = 0;
  std::size_t body_cap = kManifestBodyCap;
  // Asks every cache on the way to check its copy with the server first
  // (Cache-Control: no-cache, and Pragma: no-cache for HTTP/1.0 caches).
  bool revalidate = false;
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
  kOverSize,              // a file would pass the size it was published with
  kCannotWrite,           // the bytes could not reach the disk
  kDigestMismatch,        // every byte arrived, but not the published file
  kOther,                 // another libcurl failure (`curl_code`, `curl_text`)
};

// What a server said identifies the version of a resource: its ETag, else its
// Last-Modified. Both "" when it said neither, or nothing usable
// (IsUsableValidator, IsUsableLastModified).
struct Validators {
  std::string etag;
  std::string last_modified;

  bool empty() const { return etag.empty() && last_modified.empty(); }
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
  Validators validators;         // the final response's, for a conditional request later
  // The final response's validators that were dropped as unusable: "ETag",
  // "Last-Modified" or "ETag and Last-Modified"; "" when none was.
  std::string unusable_validators;
  // Seconds the final response's Retry-After asks the client to wait (a date
  // is counted from now); 0 when it has none.
  std::int64_t retry_after_seconds = 0;

  bool ok() const { return kind == OutcomeKind::kOk; }
  // The server's 304: the copy whose validators were sent is still current.
  bool not_modified() const { return kind == OutcomeKind::kHttpStatus && http_status == 304; }
};

// Appends the resource at `url` to `body` (its transfer logs as
// "FetchManifest: ..." whatever it fetches). Ok only for a completed transfer
// with final status 200; `body` keeps whatever arrived, also on failure.
// The body may come compressed in any encoding libcurl decodes; the tuning's
// cap counts the decoded bytes. With `have` not empty the request is
// conditional (If-None-Match, else If-Modified-Since), and a 304 answers it.
// The outcome's validators are kept only when they can tell this version
// from the next: none when the Last-Modified is not a second older than the
// answer's Date.
[[nodiscard]] TransferOutcome FetchToMemory(const std::string& url, std::string& body,
                                            const TransferTuning& tuning = {},
                                            const Validators& have = {});

// Pairs curl_global_init(CURL_GLOBAL_ALL) with curl_global_cleanup for the
// span of a workflow that transfers, and holds the connections its transfers
// share: the manifest, its signature and the installer, when they come from
// the same server, travel over one connection. One session at a time.
class TransferSession {
 public:
  TransferSession();
  ~TransferSession();
  TransferSession(const TransferSession&) = delete;
  TransferSession& operator=(const TransferSession&) = delete;
};

}  // namespace solvane
