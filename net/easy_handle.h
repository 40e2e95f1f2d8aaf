// What the manifest fetch and the installer download set up alike on a
// libcurl easy handle, and how they read a finished transfer. Only net/
// includes this; the workflows see the transfers' own headers.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "net/proxy_route.h"
#include "net/transfer.h"

namespace solvane {

struct CurlCleanup {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// The URL, the route, the body's writer, redirects and the whole-transfer
// limit: `timeout` seconds unless `tuning` names its own, 0 for none. Within a
// TransferSession the handle also takes the session's shared connections.
void SetCommonOptions(CURL* handle, const std::string& url, const ProxyRoute& route,
                      curl_write_callback write, void* target, long timeout,
                      const TransferTuning& tuning);

// The session's share of connections while a TransferSession lives, else null.
CURLSH* SessionShare();

// What a finished curl_easy_perform says about the transfer. A write
// callback's refusal (CURLE_WRITE_ERROR) means what the caller made it mean, so
// the caller names it. `stall_limited`: a timeout is a stall, not the clock.
TransferOutcome Classify(CURL* handle, CURLcode code, OutcomeKind refused_write,
                         bool stall_limited);

// Whether `value` is a Last-Modified worth keeping: IsUsableValidator's rule,
// and an HTTP date in the form servers send today ("Sun, 06 Nov 1994 08:49:37
// GMT") with nothing after it. libcurl's date parser also reads a date
// followed by anything as that date.
bool IsUsableLastModified(const std::string& value);

}  // namespace solvane
