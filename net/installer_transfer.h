// The installer's download into a file: resumable across runs and retried
// within one, hashed as it arrives.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "net/transfer.h"

namespace solvane {

// Receives the downloaded share in whole per cent (not clamped).
using ProgressCallback = std::function<void(int percent)>;

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
  // The file's published size; 0 when unknown. A download that would pass it
  // ends with kOverSize.
  std::int64_t size = 0;
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
// compared; a mismatch deletes it. With a `size`, held bytes beyond it are
// not resumed, a response whose Content-Length would pass it is refused
// before its body, and the body is cut off at the first byte beyond it,
// whatever the headers said.
InstallerDownloadResult DownloadWithResume(const InstallerDownload& request,
                                           const ProgressCallback& progress,
                                           const PartialCallback& on_partial,
                                           const TransferTuning& tuning = {});

}  // namespace solvane
