#include "app/transfer_report.h"

#include <curl/curl.h>

#include "log/activity_log.h"
#include "net/proxy_route.h"

namespace solvane {

std::string FailureReason(const TransferOutcome& outcome) {
  switch (outcome.kind) {
    case OutcomeKind::kOk:
      return "ok";
    case OutcomeKind::kHttpStatus:
      // The status, never the page: an error page is the server's, not ours to log.
      return "HTTP " + std::to_string(outcome.http_status);
    case OutcomeKind::kProxySignIn:
      return "proxy sign-in refused (HTTP 407)";
    case OutcomeKind::kCannotResolve:
      return outcome.curl_code == CURLE_COULDNT_RESOLVE_PROXY ? "cannot resolve the proxy's name"
                                                              : "cannot resolve the server's name";
    case OutcomeKind::kCannotConnect:
      return "cannot connect";
    case OutcomeKind::kUntrustedCertificate:
      return "certificate not trusted";
    case OutcomeKind::kTimedOut:
      return "timed out";
    case OutcomeKind::kStalled:
      return "stalled";
    case OutcomeKind::kConnectionLost:
      if (outcome.kept_for_resume) {
        return "connection lost after " + std::to_string(outcome.bytes_held) +
               " bytes (kept for resume)";
      }
      return outcome.bytes_held > 0
                 ? "connection lost after " + std::to_string(outcome.bytes_held) + " bytes"
                 : "connection lost";
    case OutcomeKind::kTooLarge:
      return "body too large";
    case OutcomeKind::kOverSize:
      return "larger than its published size";
    case OutcomeKind::kCannotWrite:
      return "cannot write (disk full)";
    case OutcomeKind::kDigestMismatch:
      return "digest mismatch";
    case OutcomeKind::kOther:
      break;
  }
  return "curl=" + std::to_string(outcome.curl_code) + " (" + outcome.curl_text + ")";
}

std::string TechnicalDetail(const TransferOutcome& outcome) {
  // A refused error page is aborted by the program itself; libcurl's code for
  // that says nothing the status does not.
  if (outcome.curl_code == 0 || outcome.kind == OutcomeKind::kOther ||
      outcome.kind == OutcomeKind::kHttpStatus) {
    return "";
  }
  return " (curl=" + std::to_string(outcome.curl_code) + " " + outcome.curl_text + ")";
}

std::string PlainReason(const TransferOutcome& outcome) {
  switch (outcome.kind) {
    case OutcomeKind::kOk:
      return "";
    case OutcomeKind::kHttpStatus:
      return "The server answered with an error (HTTP " + std::to_string(outcome.http_status) +
             ").";
    case OutcomeKind::kProxySignIn:
      return "The proxy asks for a sign-in.";
    case OutcomeKind::kUntrustedCertificate:
      return "The server's certificate is not trusted.";
    case OutcomeKind::kCannotResolve:
    case OutcomeKind::kCannotConnect:
    case OutcomeKind::kTimedOut:
      return "The server could not be reached.";
    case OutcomeKind::kStalled:
    case OutcomeKind::kConnectionLost:
      return "The connection to the server was lost.";
    case OutcomeKind::kTooLarge:
      return "The server sent more than was expected.";
    case OutcomeKind::kOverSize:
      return "The server sent more than the published release.";
    case OutcomeKind::kCannotWrite:
      return "The download could not be saved; the disk may be full.";
    case OutcomeKind::kDigestMismatch:
      return "The download does not match the published release.";
    case OutcomeKind::kOther:
      break;
  }
  return "The download failed.";
}

void LogRoute(const TransferOutcome& outcome) {
  LogMessage("FetchManifest: %s", RouteLine(outcome.route).c_str());
}

void LogFetchFailure(const std::string& url, const TransferOutcome& outcome) {
  if (outcome.curl_code == 0) return;
  LogMessage("FetchManifest: Fetch failed for %s curl=%d (%s)", url.c_str(), outcome.curl_code,
             outcome.curl_text.c_str());
}

void LogUnusableValidators(const TransferOutcome& outcome) {
  if (outcome.unusable_validators.empty()) return;
  LogMessage("FetchManifest: validator dropped (unusable %s)", outcome.unusable_validators.c_str());
}

}  // namespace solvane
