// HTTP GET transfers through libcurl's easy interface: a manifest into
// memory, an installer into a file. The caller owns curl_global_init/cleanup.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "constants.h"

namespace solvane {

// Receives the downloaded share in whole per cent (not clamped).
using ProgressCallback = std::function<void(int percent)>;

// What the program leaves at its defaults. Tests shorten the limits and may
// adjust the handle (for example to trust their own CA); the program itself
// never sets `adjust_handle`.
struct TransferTuning {
  long timeout_seconds = 0;  // 0: the built-in limit of the operation
  std::size_t body_cap = kManifestBodyCap;
  std::function<void(void* curl_handle)> adjust_handle;
};

// Appends the resource at `url` to `body`. True only for a completed transfer
// with final status 200; a transport failure logs "FetchManifest: ...".
// `body` keeps whatever arrived, also on failure.
bool FetchManifest(const std::string& url, std::string& body, const TransferTuning& tuning = {});

// Writes the resource at `url` into `destination`, reporting progress when
// `progress` is set. True only for a completed transfer with final status 200
// whose bytes all reached the disk; on failure nothing is left at `destination`.
bool DownloadFile(const std::string& url, const std::string& destination,
                  const ProgressCallback& progress, const TransferTuning& tuning = {});

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
