// How the workflows tell what became of a transfer: the log's short reason,
// the window's plain sentence, and the transfer's own log lines.
#pragma once

#include <string>

#include "net/transfer.h"

namespace solvane {

// The reason a log line ends with: "HTTP 404", "proxy sign-in refused (HTTP
// 407)", "connection lost after 512 bytes (kept for resume)", "stalled" ...
std::string FailureReason(const TransferOutcome& outcome);

// libcurl's side of a failure for a log line: " (curl=N text)", or "" when
// libcurl completed the transfer or the reason already is its code.
std::string TechnicalDetail(const TransferOutcome& outcome);

// One plain sentence for the user saying why, e.g. "The proxy asks for a
// sign-in."; "" for a successful transfer.
std::string PlainReason(const TransferOutcome& outcome);

// Logs the route the transfer took: "FetchManifest: route ...".
void LogRoute(const TransferOutcome& outcome);

// Logs a transfer that libcurl failed as "FetchManifest: Fetch failed for
// <url> curl=N (text)"; nothing for one it completed, whatever its status.
void LogFetchFailure(const std::string& url, const TransferOutcome& outcome);

// Logs the validators the response sent that were dropped as unusable, as
// "FetchManifest: validator dropped (unusable ETag)"; nothing when none was.
void LogUnusableValidators(const TransferOutcome& outcome);

}  // namespace solvane
