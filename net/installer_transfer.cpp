#include "net/installer_transfer.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>

#include "net/easy_handle.h"
#include "platform/download_sink.h"
#include "platform/encoding.h"
#include "platform/fs.h"
#include "platform/sha256.h"

namespace solvane {
namespace {

// An installer transfer has no limit on its duration: it fails only when it
// stalls: its speed (libcurl's average over the last few seconds) stays under
// 1 KiB per second for 60 seconds in a row. A 56 kbit/s modem moves 7 KiB per
// second; a link that cannot keep 1 KiB for a minute has gone.
constexpr long kInstallerStallBytesPerSecond = 1024;
constexpr long kInstallerStallSeconds = 60;

// The receive buffer of an installer download, as large as the curl tool's.
constexpr long kDownloadBufferBytes = 100 * 1024;

// An installer transfer ends only when it stalls, never because of its duration.
void SetStallLimit(CURL* handle, const TransferTuning& tuning) {
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT,
                   tuning.stall_bytes_per_second > 0 ? tuning.stall_bytes_per_second
                                                     : kInstallerStallBytesPerSecond);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                   tuning.stall_seconds > 0 ? tuning.stall_seconds : kInstallerStallSeconds);
}

struct SlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

std::string TrimmedValue(const char* text, std::size_t size, std::size_t from) {
  std::size_t begin = from, end = size;
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' ||
                         text[end - 1] == '\t'))
    --end;
  return std::string(text + begin, end - begin);
}

// First byte position of "bytes N-M/T", or -1 when the text has another form.
std::int64_t RangeStart(const std::string& content_range) {
  static const char kUnit[] = "bytes ";
  if (content_range.compare(0, sizeof kUnit - 1, kUnit) != 0) return -1;
  std::int64_t value = 0;
  std::size_t i = sizeof kUnit - 1;
  const std::size_t first_digit = i;
  for (; i < content_range.size() && content_range[i] >= '0' && content_range[i] <= '9'; ++i) {
    if (value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (content_range[i] - '0');
  }
  if (i == first_digit || i >= content_range.size() || content_range[i] != '-') return -1;
  return value;
}

// The headers of the response being received; a new status line (a redirect,
// a 100 Continue) starts them afresh.
struct ResponseHeaders {
  std::string etag;
  std::string last_modified;
  std::string content_range;

  // The validator If-Range may carry: a strong ETag, else Last-Modified; ""
  // when neither is usable (the held bytes then cannot be resumed).
  std::string Validator() const {
    if (IsUsableValidator(etag) && etag.compare(0, 2, "W/") != 0) return etag;
    return IsUsableLastModified(last_modified) ? last_modified : "";
  }
};

std::size_t CollectHeader(char* data, std::size_t size, std::size_t count, void* userdata) {
  auto* headers = static_cast<ResponseHeaders*>(userdata);
  const std::size_t n = size * count;
  const std::string_view line(data, n);
  if (StartsWithNoCase(line, "http/")) {
    *headers = {};
  } else if (StartsWithNoCase(line, "etag:")) {
    headers->etag = TrimmedValue(data, n, 5);
  } else if (StartsWithNoCase(line, "last-modified:")) {
    headers->last_modified = TrimmedValue(data, n, 14);
  } else if (StartsWithNoCase(line, "content-range:")) {
    headers->content_range = TrimmedValue(data, n, 14);
  }
  return n;
}

// What one request's response turned out to be.
enum class Answer {
  kPending,   // no body byte yet
  kAccepted,  // bytes go into the file
  kRestart,   // the held bytes belong to another file: start again from zero
  kRefused,   // an HTTP error status
};

// The state of one installer download across its requests.
struct Receiver {
  const InstallerDownload* request = nullptr;
  const PartialCallback* on_partial = nullptr;
  const ProgressCallback* progress = nullptr;
  DownloadSink sink;
  std::int64_t held = 0;  // bytes taken for the file (in it and hashed once the sink drains)
  std::string validator;  // of the server's file the held bytes came from
  std::int64_t wire = 0;  // body bytes received over all requests
  int restarts = 0;
  bool write_failed = false;
  bool over_size = false;  // the body would pass the request's size
  int last_percent = -1;
  ProxyRoute route;      // decided once for every request of the download
  TransferOutcome last;  // what the latest request came to

  // Per request.
  CURL* handle = nullptr;
  ResponseHeaders headers;
  std::int64_t asked_from = 0;    // 0: no Range sent
  std::int64_t request_base = 0;  // bytes held when the response body began
  Answer answer = Answer::kPending;
  long status = 0;
};

// Empties the file and the hash, forgetting the held bytes.
bool StartOver(Receiver& r) {
  r.sink.Close();
  UniqueFile file = OpenOwnFile(r.request->destination, "wb");
  Sha256Hash hash = Sha256Begin();
  const bool ok = file && hash;
  r.sink.Begin(std::move(file), std::move(hash));
  r.held = 0;
  r.validator.clear();
  return ok;
}

PartialDownload Describe(const Receiver& r) {
  return {r.request->url, r.request->sha256, r.held, r.validator};
}

// Judges the response once its headers are in and before any body byte is kept.
void Judge(Receiver& r) {
  curl_easy_getinfo(r.handle, CURLINFO_RESPONSE_CODE, &r.status);
  const std::string validator = r.headers.Validator();
  if (r.status == 200) {
    // The whole file again: it replaces what is held, in this same response.
    if (r.held > 0) {
      ++r.restarts;
      if (!StartOver(r)) {
        r.write_failed = true;
        r.answer = Answer::kRefused;
        return;
      }
    }
    r.validator = validator;
    r.answer = Answer::kAccepted;
  } else if (r.status == 206 && r.asked_from > 0 && r.asked_from == r.held &&
             RangeStart(r.headers.content_range) == r.asked_from && !validator.empty() &&
             validator == r.validator) {
    r.answer = Answer::kAccepted;
  } else if (r.status == 206 || r.status == 416) {
    r.answer = Answer::kRestart;
  } else {
    r.answer = Answer::kRefused;
  }
  r.request_base = r.held;
  if (r.answer == Answer::kAccepted && !r.validator.empty() && *r.on_partial) {
    (*r.on_partial)(Describe(r));
  }
}

// Whether a response accepted for the file announces more than the
// published size: a Content-Length beyond what is still to come.
bool AnnouncesTooMuch(const Receiver& r) {
  curl_off_t length = -1;
  if (r.request->size <= 0 || r.answer != Answer::kAccepted ||
      curl_easy_getinfo(r.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
      length < 0) {
    return false;
  }
  return static_cast<std::int64_t>(length) > r.request->size - r.request_base;
}

std::size_t ReceiveBody(char* data, std::size_t size, std::size_t count, void* userdata) {
  auto& r = *static_cast<Receiver*>(userdata);
  const std::size_t n = size * count;
  r.wire += static_cast<std::int64_t>(n);
  if (r.answer == Answer::kPending) {
    Judge(r);
    r.over_size = AnnouncesTooMuch(r);
  }
  if (r.answer != Answer::kAccepted) return 0;  // aborts the transfer
  // Counted here, not trusted from the headers: a body may run on past any
  // Content-Length a relay sent, or come without one.
  if (r.over_size ||
      (r.request->size > 0 && static_cast<std::int64_t>(n) > r.request->size - r.held)) {
    r.over_size = true;
    return 0;
  }
  if (!r.sink.Append(data, n)) {
    r.write_failed = true;
    return 0;
  }
  r.held += static_cast<std::int64_t>(n);
  return n;
}

// Progress of the whole file: the bytes held before this response plus this
// response's share. It never goes backwards within a download.
int ReportInstallerProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                            curl_off_t) {
  auto& r = *static_cast<Receiver*>(clientp);
  if (dltotal > 0 && r.answer == Answer::kAccepted) {
    const std::int64_t total = r.request_base + static_cast<std::int64_t>(dltotal);
    const std::int64_t now = r.request_base + static_cast<std::int64_t>(dlnow);
    const int percent = static_cast<int>(now * 100 / total);
    if (percent > r.last_percent) r.last_percent = percent;
  }
  if (r.last_percent >= 0) (*r.progress)(r.last_percent);
  return 0;
}

// Hashes the first `size` bytes of the open file; false when they cannot all be read.
bool HashHeld(std::FILE* file, Sha256Context& hash, std::int64_t size) {
  static constexpr std::size_t kChunk = 64 * 1024;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunk]);
  std::int64_t left = size;
  while (left > 0) {
    const std::size_t want =
        left < static_cast<std::int64_t>(kChunk) ? static_cast<std::size_t>(left) : kChunk;
    const std::size_t got = std::fread(buffer.get(), 1, want, file);
    if (got != want) return false;
    Sha256Update(hash, buffer.get(), got);
    left -= static_cast<std::int64_t>(got);
  }
  return true;
}

// Opens the destination to continue `held`, with its bytes hashed; false when
// they cannot be used (the file then starts empty).
bool ContinueHeld(Receiver& r) {
  const std::optional<PartialDownload>& held = r.request->held;
  if (!held || held->url != r.request->url || held->sha256 != r.request->sha256 ||
      held->validator.empty()) {
    return false;
  }
  std::error_code error;
  std::uintmax_t size = 0;
  try {
    size = std::filesystem::file_size(ToFsPath(r.request->destination), error);
  } catch (const std::filesystem::filesystem_error&) {
    return false;  // a path the file system cannot spell
  }
  if (error || size == 0) return false;
  // More than the whole file is no part of it: start over.
  if (r.request->size > 0 && size > static_cast<std::uintmax_t>(r.request->size)) return false;
  // The file's own size counts, not the record's: a killed run could not
  // update the record, and anything wrong in the bytes shows in the digest.
  UniqueFile file = OpenOwnFile(r.request->destination, "r+b");
  Sha256Hash hash = Sha256Begin();
  if (!file || !hash) return false;
  const auto bytes = static_cast<std::int64_t>(size);
  if (!HashHeld(file.get(), *hash, bytes) || std::fseek(file.get(), 0, SEEK_END) != 0) {
    return false;
  }
  r.sink.Begin(std::move(file), std::move(hash));
  r.held = bytes;
  r.validator = held->validator;
  return true;
}

enum class Outcome { kDone, kBroken, kRestart, kFailed };

// Sets up one request: from the held bytes on, under their validator, when
// there are any. False when the If-Range header cannot be made.
bool SetRequestOptions(CURL* handle, Receiver& r, const TransferTuning& tuning, HeaderList& extra) {
  // The whole-transfer limit of TransferTuning is the manifest's; it never applies here.
  TransferTuning own = tuning;
  own.timeout_seconds = 0;
  SetCommonOptions(handle, r.request->url, r.route, ReceiveBody, &r, 0, own);
  SetStallLimit(handle, tuning);
  // libcurl's default 16 KiB reads cost about a quarter more CPU per byte than the
  // curl tool's 100 KiB ones, which bounds an installer download on a fast link.
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &r.headers);
  if (r.asked_from > 0) {
    // libcurl keeps its own copy of the range text.
    curl_easy_setopt(handle, CURLOPT_RANGE, (std::to_string(r.asked_from) + "-").c_str());
    const std::string if_range = "If-Range: " + r.validator;
    extra.reset(curl_slist_append(nullptr, if_range.c_str()));
    if (!extra) return false;
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, extra.get());
  }
  if (*r.progress) {
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, ReportInstallerProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &r);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  }
  if (tuning.adjust_handle) tuning.adjust_handle(handle);
  return true;
}

// One GET, from the held bytes on when there are any.
Outcome RequestOnce(Receiver& r, const TransferTuning& tuning) {
  // Bytes from a server that named no validator cannot be asked for again.
  if (r.held > 0 && r.validator.empty() && !StartOver(r)) {
    r.last.kind = OutcomeKind::kCannotWrite;
    return Outcome::kFailed;
  }
  CurlHandle handle(curl_easy_init());
  if (!handle) {
    r.last.kind = OutcomeKind::kOther;
    return Outcome::kFailed;
  }
  r.handle = handle.get();
  r.headers = {};
  r.answer = Answer::kPending;
  r.status = 0;
  r.asked_from = r.held > 0 ? r.held : 0;
  HeaderList extra;
  if (!SetRequestOptions(handle.get(), r, tuning, extra)) {
    r.handle = nullptr;
    r.last.kind = OutcomeKind::kOther;
    return Outcome::kFailed;
  }

  const CURLcode code = curl_easy_perform(handle.get());
  // A response without a body byte (an empty file, a bare 416) is judged here.
  if (r.answer == Answer::kPending && code == CURLE_OK) Judge(r);
  r.handle = nullptr;
  if (r.over_size) {
    // What was taken is no more than the size, but it is not the published file.
    (void)r.sink.Drain();
    r.last = Classify(handle.get(), code, OutcomeKind::kOverSize, true);
    // The transfer was cut off here, not by libcurl: its code says nothing more.
    r.last.kind = OutcomeKind::kOverSize;
    r.last.curl_code = 0;
    r.last.curl_text.clear();
    return Outcome::kFailed;
  }
  // Every byte taken is in the file before anything is decided about it.
  if (r.answer == Answer::kAccepted && !r.sink.Drain()) r.write_failed = true;
  // ReceiveBody refuses a body for an error status or because the disk did.
  r.last = Classify(handle.get(), code,
                    r.write_failed ? OutcomeKind::kCannotWrite : OutcomeKind::kHttpStatus, true);
  if (r.write_failed) {
    r.last.kind = OutcomeKind::kCannotWrite;
    return Outcome::kFailed;
  }
  switch (r.answer) {
    case Answer::kRestart:
      return Outcome::kRestart;
    case Answer::kRefused:
      return Outcome::kFailed;
    case Answer::kAccepted:
      return code == CURLE_OK ? Outcome::kDone : Outcome::kBroken;
    case Answer::kPending:
      break;
  }
  // No response came (refused connection, name not found, stalled before the
  // headers): worth another try like any broken connection.
  return Outcome::kBroken;
}

// Requests until the file is whole and verified or going on is pointless: a
// broken connection is tried again up to the request's attempts, and a sign
// of another file (or joined bytes that miss the digest) starts over once.
Outcome RequestUntilSettled(Receiver& r, const TransferTuning& tuning, bool resuming,
                            InstallerDownloadResult& result) {
  const InstallerDownload& request = *r.request;
  bool restarted = false;
  int tries = 0;
  for (;;) {
    Outcome outcome = RequestOnce(r, tuning);
    if (outcome == Outcome::kDone) {
      // The digest of exactly the bytes written, and those bytes on the disk.
      Sha256Digest digest{};
      result.received = r.sink.Finish(digest);
      if (result.received && (request.sha256.empty() || HexDigest(digest) == request.sha256)) {
        result.complete = true;
        return outcome;
      }
      r.last.kind = result.received ? OutcomeKind::kDigestMismatch : OutcomeKind::kCannotWrite;
      // Joined bytes that do not make the file: one fresh start, as for any
      // sign that the held bytes came from another file.
      outcome = result.received && resuming && r.restarts == 0 && !restarted ? Outcome::kRestart
                                                                             : Outcome::kFailed;
    }
    if (outcome == Outcome::kRestart && !restarted && r.restarts == 0) {
      restarted = true;
      result.received = false;
      ++r.restarts;
      if (StartOver(r)) continue;
      outcome = Outcome::kFailed;
    }
    if (outcome != Outcome::kBroken || ++tries >= request.attempts) return outcome;
    std::this_thread::sleep_for(request.pause);
  }
}

}  // namespace

InstallerDownloadResult DownloadWithResume(const InstallerDownload& request,
                                           const ProgressCallback& progress,
                                           const PartialCallback& on_partial,
                                           const TransferTuning& tuning) {
  InstallerDownloadResult result;
  Receiver r;
  r.request = &request;
  r.on_partial = &on_partial;
  r.progress = &progress;
  r.route = ChooseRoute(request.url);
  r.last.kind = OutcomeKind::kCannotWrite;  // until a request is made
  const bool resuming = ContinueHeld(r);
  Outcome outcome = Outcome::kFailed;
  if (resuming || StartOver(r)) outcome = RequestUntilSettled(r, tuning, resuming, result);
  r.sink.Close();
  result.bytes_received = r.wire;
  result.restarts = r.restarts;
  result.outcome = std::move(r.last);
  result.outcome.route = std::move(r.route);
  if (result.complete) {
    result.outcome.kind = OutcomeKind::kOk;
    result.outcome.bytes_held = r.held;
    return result;
  }
  // Bytes of a file the server can name again are kept for the next run.
  const bool keep = (outcome == Outcome::kBroken ||
                     (outcome == Outcome::kFailed && r.status >= 500 && !r.write_failed)) &&
                    r.held > 0 && !r.validator.empty();
  if (keep) {
    result.partial = Describe(r);
    result.outcome.bytes_held = r.held;
    result.outcome.kept_for_resume = true;
  } else if (PathExists(request.destination)) {
    // Not kept: no record names it, and housekeeping removes a stray partial.
    (void)RemovePath(request.destination);
  }
  return result;
}

}  // namespace solvane
