#include "net/transfer.h"

#include <curl/curl.h>

#include <memory>
#include <vector>

#include "net/easy_handle.h"
#include "platform/encoding.h"

namespace solvane {
namespace {

// Whole-transfer limit of the manifest, from name resolution to the last byte.
constexpr long kManifestTimeoutSeconds = 30;

struct BodySink {
  std::string* body;
  std::size_t cap;
};

// libcurl write callback for FetchManifest: appends to the caller's body and
// refuses (aborting the transfer) what would grow it past the cap.
std::size_t AppendToBody(char* data, std::size_t size, std::size_t count, void* userdata) {
  auto* sink = static_cast<BodySink*>(userdata);
  const std::size_t n = size * count;
  if (n > sink->cap - sink->body->size()) return 0;
  sink->body->append(data, n);
  return n;
}

struct SlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

struct ShareCleanup {
  void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};

std::unique_ptr<CURLSH, ShareCleanup>& SessionShareStorage() {
  static std::unique_ptr<CURLSH, ShareCleanup> share;
  return share;
}

// The header `name` of the last response (after redirects), "" when absent.
std::string LastHeader(CURL* handle, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header) {
    return "";
  }
  return header->value;
}

// The last response's validators that can tell this version of the resource
// from the next, with the names of those refused as unusable in `unusable`.
// A Last-Modified counts only when it is at least a second before the
// response's Date, as HTTP has it: a file changed twice within one second
// keeps one Last-Modified. Nor then does the ETag count: servers make theirs
// of the modification time (nginx: its seconds and the size), so a file
// rewritten within the second at the same size keeps it too, and asking with
// it would take the second change for the first (Apache makes such an ETag
// weak). Without a Date the ETag alone is kept.
Validators ResponseValidators(CURL* handle, std::string& unusable) {
  Validators validators{LastHeader(handle, "ETag"), LastHeader(handle, "Last-Modified")};
  const auto refuse = [&unusable](std::string& value, const char* name) {
    unusable += (unusable.empty() ? "" : " and ") + std::string(name);
    value.clear();
  };
  if (!validators.etag.empty() && !IsUsableValidator(validators.etag)) {
    refuse(validators.etag, "ETag");
  }
  if (!validators.last_modified.empty() && !IsUsableLastModified(validators.last_modified)) {
    refuse(validators.last_modified, "Last-Modified");
  }
  if (validators.last_modified.empty()) return validators;
  const std::string date = LastHeader(handle, "Date");
  const time_t sent_at = date.empty() ? -1 : curl_getdate(date.c_str(), nullptr);
  if (sent_at < 0) {
    validators.last_modified.clear();
  } else if (curl_getdate(validators.last_modified.c_str(), nullptr) >= sent_at) {
    return {};
  }
  return validators;
}

// The request headers that make a fetch conditional on `have`: the ETag is
// the stronger test, so a server that sent one is asked by it alone.
// With `revalidate`, also the headers that make every cache on the way ask
// the server before it answers from its copy. Empty when libcurl cannot
// hold a line: the request then goes out plain.
HeaderList RequestHeaders(const Validators& have, bool revalidate) {
  std::vector<std::string> lines;
  if (!have.etag.empty()) {
    lines.push_back("If-None-Match: " + have.etag);
  } else if (!have.last_modified.empty()) {
    lines.push_back("If-Modified-Since: " + have.last_modified);
  }
  if (revalidate) {
    lines.push_back("Cache-Control: no-cache");
    lines.push_back("Pragma: no-cache");
  }
  HeaderList list;
  for (const std::string& line : lines) {
    // The list's head, or null with the list left as it was.
    curl_slist* longer = curl_slist_append(list.get(), line.c_str());
    if (!longer) return {};
    (void)list.release();
    list.reset(longer);
  }
  return list;
}

}  // namespace

CURLSH* SessionShare() { return SessionShareStorage().get(); }

TransferOutcome FetchToMemory(const std::string& url, std::string& body,
                              const TransferTuning& tuning, const Validators& have) {
  TransferOutcome outcome;
  outcome.route = ChooseRoute(url);
  CurlHandle handle(curl_easy_init());
  if (!handle) {
    outcome.kind = OutcomeKind::kOther;
    outcome.curl_code = static_cast<int>(CURLE_FAILED_INIT);
    outcome.curl_text = curl_easy_strerror(CURLE_FAILED_INIT);
    return outcome;
  }
  BodySink sink{&body, tuning.body_cap};
  SetCommonOptions(handle.get(), url, outcome.route, AppendToBody, &sink, kManifestTimeoutSeconds,
                   tuning);
  // Every encoding this libcurl decodes; the sink sees (and caps) decoded bytes.
  curl_easy_setopt(handle.get(), CURLOPT_ACCEPT_ENCODING, "");
  const HeaderList headers = RequestHeaders(have, tuning.revalidate);
  if (headers) curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
  if (tuning.adjust_handle) tuning.adjust_handle(handle.get());

  const CURLcode code = curl_easy_perform(handle.get());
  // The body sink refuses only what would outgrow its cap.
  ProxyRoute route = std::move(outcome.route);
  outcome = Classify(handle.get(), code, OutcomeKind::kTooLarge, false);
  outcome.route = std::move(route);
  outcome.bytes_held = static_cast<std::int64_t>(body.size());
  if (outcome.http_status != 0) {
    outcome.validators = ResponseValidators(handle.get(), outcome.unusable_validators);
    curl_off_t wait = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_RETRY_AFTER, &wait) == CURLE_OK && wait > 0) {
      outcome.retry_after_seconds = static_cast<std::int64_t>(wait);
    }
  }
  return outcome;
}

TransferSession::TransferSession() {
  curl_global_init(CURL_GLOBAL_ALL);
  // Without a share every transfer opens its own connection, as before.
  std::unique_ptr<CURLSH, ShareCleanup> share(curl_share_init());
  if (share &&
      curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
    share.reset();
  }
  if (share) {
    // TLS sessions too, so that a connection opened again (a server that
    // closes after each answer) resumes its handshake.
    (void)curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    (void)curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  SessionShareStorage() = std::move(share);
}

TransferSession::~TransferSession() {
  SessionShareStorage().reset();  // closes the connections it kept
  curl_global_cleanup();
}

}  // namespace solvane
