#include "net/easy_handle.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/encoding.h"

namespace solvane {
namespace {

bool IsHttps(const std::string& url) { return StartsWithNoCase(url, "https://"); }

}  // namespace

void SetCommonOptions(CURL* handle, const std::string& url, const ProxyRoute& route,
                      curl_write_callback write, void* target, long timeout,
                      const TransferTuning& tuning) {
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  SetRouteOptions(handle, route);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, target);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  // libcurl before 8.3 follows redirects without end; keep the 30 that later versions default to.
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 30L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT,
                   tuning.timeout_seconds > 0 ? tuning.timeout_seconds : timeout);
  // A release fetched over TLS must not be redirected to plain text.
  if (IsHttps(url)) curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  if (CURLSH* share = SessionShare()) curl_easy_setopt(handle, CURLOPT_SHARE, share);
}

TransferOutcome Classify(CURL* handle, CURLcode code, OutcomeKind refused_write,
                         bool stall_limited) {
  TransferOutcome outcome;
  outcome.curl_code = static_cast<int>(code);
  if (code != CURLE_OK) outcome.curl_text = curl_easy_strerror(code);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome.http_status);
  long connect_status = 0;
  curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connect_status);
  // A proxy refusing the sign-in answers a plain request with a 407 page
  // (which libcurl counts as a success) and a CONNECT with a 407 that
  // libcurl reports only as a receive error.
  if (outcome.http_status == 407 || connect_status == 407) {
    outcome.http_status = 407;
    outcome.kind = OutcomeKind::kProxySignIn;
    return outcome;
  }
  switch (code) {
    case CURLE_OK:
      outcome.kind = outcome.http_status == 200 ? OutcomeKind::kOk : OutcomeKind::kHttpStatus;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      outcome.kind = OutcomeKind::kCannotResolve;
      break;
    case CURLE_COULDNT_CONNECT:
      outcome.kind = OutcomeKind::kCannotConnect;
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
      outcome.kind = OutcomeKind::kUntrustedCertificate;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      outcome.kind = stall_limited ? OutcomeKind::kStalled : OutcomeKind::kTimedOut;
      break;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      outcome.kind = OutcomeKind::kConnectionLost;
      break;
    case CURLE_WRITE_ERROR:
      outcome.kind = refused_write;
      break;
    case CURLE_FILESIZE_EXCEEDED:
      outcome.kind = OutcomeKind::kTooLarge;
      break;
    default:
      outcome.kind = OutcomeKind::kOther;
      break;
  }
  return outcome;
}

bool IsUsableLastModified(const std::string& value) {
  if (!IsUsableValidator(value)) return false;
  const time_t at = curl_getdate(value.c_str(), nullptr);
  if (at < 0) return false;
  // The date written back in its one form must give the text again.
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::tm utc = UtcTime(static_cast<std::int64_t>(at));
  if (utc.tm_wday < 0 || utc.tm_wday > 6 || utc.tm_mon < 0 || utc.tm_mon > 11) return false;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return value == text;
}

}  // namespace solvane
