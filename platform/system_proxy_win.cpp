#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/encoding_win.h"
#include "platform/system_proxy.h"

namespace solvane {
namespace {

struct InternetClose {
  void operator()(void* handle) const noexcept { ::WinHttpCloseHandle(handle); }
};
using UniqueInternet = std::unique_ptr<void, InternetClose>;

// WinHTTP hands out its strings from GlobalAlloc.
struct GlobalRelease {
  void operator()(wchar_t* text) const noexcept { ::GlobalFree(text); }
};
using GlobalText = std::unique_ptr<wchar_t, GlobalRelease>;

// Time-outs of the PAC file's download; together they keep a dead
// auto-config server from holding up a transfer for more than a few seconds.
constexpr int kResolveMs = 2000;
constexpr int kConnectMs = 2000;
constexpr int kSendMs = 2000;
constexpr int kReceiveMs = 3000;
// The longest a transfer waits for auto-detection and the PAC script.
constexpr std::chrono::seconds kDetectionLimit{5};

std::string DescribeWinHttpError(DWORD code) {
  const char* what = "";
  switch (code) {
    case ERROR_WINHTTP_AUTODETECTION_FAILED:
      what = ", no PAC file found on the network";
      break;
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
      what = ", PAC file could not be downloaded";
      break;
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
      what = ", PAC script failed";
      break;
    case ERROR_WINHTTP_TIMEOUT:
      what = ", timed out";
      break;
    case ERROR_WINHTTP_LOGIN_FAILURE:
      what = ", sign-in to the PAC server failed";
      break;
    default:
      break;
  }
  return "WinHTTP error " + std::to_string(code) + what;
}

// The settings and a failed detection live for the whole run: the user's
// settings do not change under a short-lived program, and a second transfer
// must not wait once more for a PAC server that did not answer.
struct ProxyCache {
  bool read = false;
  bool have_settings = false;
  SystemProxySettings settings;
  bool detection_failed = false;
  std::string detection_error;
};

ProxyCache& Cache() {
  static ProxyCache cache;
  return cache;
}

}  // namespace

bool ReadSystemProxySettings(SystemProxySettings& settings) {
  ProxyCache& cache = Cache();
  if (!cache.read) {
    cache.read = true;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (::WinHttpGetIEProxyConfigForCurrentUser(&config)) {
      const GlobalText auto_config_url(config.lpszAutoConfigUrl);
      const GlobalText proxy(config.lpszProxy);
      const GlobalText bypass(config.lpszProxyBypass);
      cache.settings.auto_detect = config.fAutoDetect != FALSE;
      cache.settings.auto_config_url = Utf8FromWide(auto_config_url.get());
      cache.settings.proxy = Utf8FromWide(proxy.get());
      cache.settings.bypass = Utf8FromWide(bypass.get());
      cache.have_settings = true;
    }
  }
  settings = cache.settings;
  return cache.have_settings;
}

namespace {

// One auto-configuration run. A worker thread owns it through a shared
// pointer, so a run that outlives its wait has all it touches to itself.
struct Detection {
  std::wstring url;
  std::wstring config_url;
  bool auto_detect = false;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool ok = false;
  DWORD error = 0;
  std::string proxy;
};

void RunDetection(Detection& job) {
  bool ok = false;
  DWORD error = 0;
  std::string proxy;
  // The session that fetches the PAC file goes direct: the script is what
  // names the proxy.
  const UniqueInternet session(::WinHttpOpen(L"SolvaneSetup", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (session) {
    ::WinHttpSetTimeouts(session.get(), kResolveMs, kConnectMs, kSendMs, kReceiveMs);
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (job.auto_detect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!job.config_url.empty()) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = job.config_url.c_str();
    }
    // A PAC server inside a company may ask for the user's Windows sign-in.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    ok = ::WinHttpGetProxyForUrl(session.get(), job.url.c_str(), &options, &info) != FALSE;
    if (ok) {
      const GlobalText list(info.lpszProxy);
      const GlobalText bypass(info.lpszProxyBypass);
      if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) proxy = Utf8FromWide(list.get());
    } else {
      error = ::GetLastError();
    }
  } else {
    error = ::GetLastError();
  }
  const std::lock_guard<std::mutex> lock(job.mutex);
  job.ok = ok;
  job.error = error;
  job.proxy = std::move(proxy);
  job.done = true;
  job.finished.notify_all();
}

}  // namespace

bool FindProxyForUrl(const std::string& url, const SystemProxySettings& settings,
                     std::string& proxy, std::string& error) {
  proxy.clear();
  ProxyCache& cache = Cache();
  if (cache.detection_failed) {
    error = cache.detection_error;
    return false;
  }
  const auto fail = [&](const std::string& reason) {
    cache.detection_failed = true;
    cache.detection_error = reason;
    error = reason;
    return false;
  };
  if (!settings.auto_detect && settings.auto_config_url.empty()) {
    return fail("no auto-configuration set");
  }

  auto job = std::make_shared<Detection>();
  job->url = WideFromUtf8(url);
  job->config_url = WideFromUtf8(settings.auto_config_url);
  job->auto_detect = settings.auto_detect;
  // The time-outs above bound the PAC download only where WinHTTP applies the
  // session's to it, and network discovery has none: the wait for the worker
  // is what bounds the whole detection. A worker still running then is left
  // to finish (or to end with the process) on its own.
  try {
    std::thread([job] { RunDetection(*job); }).detach();
  } catch (const std::system_error&) {
    return fail("no thread for proxy detection");
  }
  std::unique_lock<std::mutex> lock(job->mutex);
  if (!job->finished.wait_for(lock, kDetectionLimit, [&] { return job->done; })) {
    return fail("timed out after " + std::to_string(kDetectionLimit.count()) + " s");
  }
  if (!job->ok) return fail(DescribeWinHttpError(job->error));
  proxy = job->proxy;
  return true;
}

}  // namespace solvane
