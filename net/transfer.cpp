#include "net/transfer.h"

#include <curl/curl.h>

#include "net/easy_handle.h"

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

}  // namespace

TransferOutcome FetchManifest(const std::string& url, std::string& body,
                              const TransferTuning& tuning) {
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
  if (tuning.adjust_handle) tuning.adjust_handle(handle.get());

  const CURLcode code = curl_easy_perform(handle.get());
  // The body sink refuses only what would outgrow its cap.
  ProxyRoute route = std::move(outcome.route);
  outcome = Classify(handle.get(), code, OutcomeKind::kTooLarge, false);
  outcome.route = std::move(route);
  outcome.bytes_held = static_cast<std::int64_t>(body.size());
  return outcome;
}

TransferSession::TransferSession() { curl_global_init(CURL_GLOBAL_ALL); }

TransferSession::~TransferSession() { curl_global_cleanup(); }

}  // namespace solvane
