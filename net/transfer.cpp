#include "net/transfer.h"

#include <curl/curl.h>

#include <cstdio>
#include <memory>

#include "log/activity_log.h"
#include "net/proxy_route.h"
#include "platform/fs.h"

namespace solvane {
namespace {

struct CurlCleanup {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// The receive buffer of an installer download, as large as the curl tool's.
constexpr long kDownloadBufferBytes = 100 * 1024;

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

// libcurl write callback for DownloadFile: a short write (a full disk, a
// file-size limit) makes libcurl abort the transfer with a write error.
std::size_t WriteToStream(char* data, std::size_t size, std::size_t count, void* userdata) {
  return std::fwrite(data, 1, size * count, static_cast<std::FILE*>(userdata));
}

// libcurl transfer-information callback: reports the downloaded share once
// the total is known. Never aborts the transfer.
int ReportDownloadProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                           curl_off_t) {
  if (dltotal > 0) {
    const std::int64_t percent = static_cast<std::int64_t>(dlnow) * 100 / dltotal;
    (*static_cast<const ProgressCallback*>(clientp))(static_cast<int>(percent));
  }
  return 0;
}

bool IsHttps(const std::string& url) {
  static const char kScheme[] = "https://";
  if (url.size() < sizeof kScheme - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kScheme; ++i) {
    const char c = url[i];
    if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kScheme[i]) return false;
  }
  return true;
}

void SetCommonOptions(CURL* handle, const std::string& url, curl_write_callback write, void* target,
                      long timeout, const TransferTuning& tuning) {
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  ApplyRoute(handle, url);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, target);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  // libcurl before 8.3 follows redirects without end; keep the 30 that later versions default to.
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 30L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT,
                   tuning.timeout_seconds > 0 ? tuning.timeout_seconds : timeout);
  // A release fetched over TLS must not be redirected to plain text.
  if (IsHttps(url)) curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
}

bool PerformWithStatus200(CURL* handle, CURLcode& code) {
  code = curl_easy_perform(handle);
  if (code != CURLE_OK) return false;
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return status == 200;
}

}  // namespace

bool FetchManifest(const std::string& url, std::string& body, const TransferTuning& tuning) {
  CurlHandle handle(curl_easy_init());
  if (!handle) return false;
  BodySink sink{&body, tuning.body_cap};
  SetCommonOptions(handle.get(), url, AppendToBody, &sink, kManifestTimeoutSeconds, tuning);
  if (tuning.adjust_handle) tuning.adjust_handle(handle.get());

  CURLcode code = CURLE_OK;
  const bool ok = PerformWithStatus200(handle.get(), code);
  if (code != CURLE_OK) {
    const std::string message = "Fetch failed for " + url +
                                " curl=" + std::to_string(static_cast<int>(code)) + " (" +
                                curl_easy_strerror(code) + ")";
    LogMessage("FetchManifest: %s", message.c_str());
  }
  return ok;
}

bool DownloadFile(const std::string& url, const std::string& destination,
                  const ProgressCallback& progress, const TransferTuning& tuning) {
  bool ok = false;
  if (UniqueFile file = OpenFile(destination, "wb")) {
    if (CurlHandle handle{curl_easy_init()}) {
      SetCommonOptions(handle.get(), url, WriteToStream, file.get(), kInstallerTimeoutSeconds,
                       tuning);
      // libcurl's default 16 KiB reads cost about a quarter more CPU per byte than the
      // curl tool's 100 KiB ones, which bounds an installer download on a fast link.
      curl_easy_setopt(handle.get(), CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
      if (progress) {
        curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, ReportDownloadProgress);
        curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, &progress);
        curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
      }
      if (tuning.adjust_handle) tuning.adjust_handle(handle.get());
      CURLcode code = CURLE_OK;
      ok = PerformWithStatus200(handle.get(), code);
    }
    // Buffered bytes that cannot be written now (a full disk) fail the download too.
    const bool flushed = std::fflush(file.get()) == 0;
    const bool closed = std::fclose(file.release()) == 0;
    ok = ok && flushed && closed;
  }
  if (ok) return true;
  // Never leave a partial download, nor an older file of the same name.
  if (PathExists(destination)) RemovePath(destination);
  return false;
}

}  // namespace solvane

namespace solvane {

TransferSession::TransferSession() { curl_global_init(CURL_GLOBAL_ALL); }

TransferSession::~TransferSession() { curl_global_cleanup(); }

}  // namespace solvane
