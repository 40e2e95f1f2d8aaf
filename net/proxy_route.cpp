#include "net/proxy_route.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "log/activity_log.h"
#include "platform/encoding.h"

namespace solvane {
namespace {

struct UrlCleanup {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
using UniqueUrl = std::unique_ptr<CURLU, UrlCleanup>;

struct CurlText {
  void operator()(char* text) const noexcept { curl_free(text); }
};
using UniqueCurlText = std::unique_ptr<char, CurlText>;

struct UrlParts {
  std::string scheme;  // lower case
  std::string host;    // lower case, IPv6 without brackets
  std::string port;    // the URL's or the scheme's default
};

std::string UrlPart(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK) return {};
  const UniqueCurlText owned(text);
  return text ? std::string(text) : std::string();
}

// libcurl's own reading of the URL, so the route is decided for the host
// libcurl will connect to.
UrlParts ParseUrl(const std::string& text) {
  UrlParts parts;
  const UniqueUrl url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return parts;
  parts.scheme = AsciiLower(UrlPart(url.get(), CURLUPART_SCHEME));
  parts.host = AsciiLower(UrlPart(url.get(), CURLUPART_HOST));
  if (parts.host.size() >= 2 && parts.host.front() == '[' && parts.host.back() == ']') {
    parts.host = parts.host.substr(1, parts.host.size() - 2);
  }
  parts.port = UrlPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  return parts;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> Split(const std::string& text, const char* separators) {
  std::vector<std::string> items;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    const auto end = text.find_first_of(separators, start);
    const std::string item = Trim(text.substr(start, end - start));
    if (!item.empty()) items.push_back(item);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return items;
}

// '*' stands for any run of characters; everything else matches itself,
// without regard to case.
bool WildcardMatch(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && AsciiLower(pattern[p]) == AsciiLower(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// One bypass entry against the URL: [scheme://]host-pattern[:port].
bool BypassEntryMatches(std::string entry, const UrlParts& url) {
  if (entry == "<local>") return !url.host.empty() && url.host.find('.') == std::string::npos;
  if (entry.front() == '<') return false;  // other tokens ("<-loopback>") name no host
  const auto scheme_end = entry.find("://");
  if (scheme_end != std::string::npos) {
    if (AsciiLower(entry.substr(0, scheme_end)) != url.scheme) return false;
    entry = entry.substr(scheme_end + 3);
    if (entry.empty()) return false;
  }
  std::string port;
  if (entry.front() == '[') {  // [IPv6]:port
    const auto close = entry.find(']');
    if (close == std::string::npos) return false;
    if (close + 1 < entry.size() && entry[close + 1] == ':') port = entry.substr(close + 2);
    entry = entry.substr(1, close - 1);
  } else if (entry.find(':') == entry.rfind(':') && entry.find(':') != std::string::npos) {
    port = entry.substr(entry.find(':') + 1);
    entry = entry.substr(0, entry.find(':'));
  }
  if (!port.empty() && port != "*" && port != url.port) return false;
  return WildcardMatch(entry, url.host);
}

// libcurl's no_proxy matching: "*" for every host, otherwise comma-separated
// names that match the host itself and every host below them.
bool NoProxyMatches(const std::string& list, const std::string& host) {
  for (std::string entry : Split(list, ", ")) {
    if (entry == "*") return true;
    if (entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') {
      entry = entry.substr(1, entry.size() - 2);
    }
    entry = AsciiLower(entry);
    if (host == entry) return true;
    if (host.size() > entry.size() &&
        host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
        host[host.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

const char* NonEmpty(const EnvLookup& getenv, const char* name) {
  const char* value = getenv(name);
  return value && *value ? value : nullptr;
}

// The proxy as the log may show it: no "user:password@", no "http://".
std::string ProxyForLog(std::string proxy) {
  const auto scheme_end = proxy.find("://");
  const auto authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const auto at = proxy.find('@', authority);
  if (at != std::string::npos) proxy.erase(authority, at + 1 - authority);
  if (AsciiLower(proxy.substr(0, 7)) == "http://") proxy.erase(0, 7);
  while (!proxy.empty() && proxy.back() == '/') proxy.pop_back();
  return proxy;
}

ProxyRoute Direct(ProxyRoute::Origin origin, std::string note = {}) {
  return ProxyRoute{"", origin, std::move(note)};
}

}  // namespace

bool ProxyEnvironmentSet(const EnvLookup& getenv) {
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"}) {
    if (NonEmpty(getenv, name)) return true;
  }
  return false;
}

ProxyRoute RouteFromEnvironment(const std::string& url, const EnvLookup& getenv) {
  if (!ProxyEnvironmentSet(getenv)) return Direct(ProxyRoute::Origin::kNone);
  const UrlParts parts = ParseUrl(url);
  const char* no_proxy = NonEmpty(getenv, "no_proxy");
  if (!no_proxy) no_proxy = NonEmpty(getenv, "NO_PROXY");
  if (no_proxy && NoProxyMatches(no_proxy, parts.host)) {
    return Direct(ProxyRoute::Origin::kEnvironment);
  }
  // libcurl never reads HTTP_PROXY in capitals: a CGI program's request
  // header of that name must not pick its proxy.
  const std::string lower = parts.scheme + "_proxy";
  const char* proxy = NonEmpty(getenv, lower.c_str());
  if (!proxy && parts.scheme != "http") {
    const std::string upper = AsciiUpper(lower);
    proxy = NonEmpty(getenv, upper.c_str());
  }
  if (!proxy) proxy = NonEmpty(getenv, "all_proxy");
  if (!proxy) proxy = NonEmpty(getenv, "ALL_PROXY");
  if (!proxy) return Direct(ProxyRoute::Origin::kEnvironment);
  return ProxyRoute{proxy, ProxyRoute::Origin::kEnvironment, {}};
}

std::string ProxyForScheme(const std::string& list, const std::string& scheme) {
  std::string any, socks;
  for (const std::string& entry : Split(list, "; \t")) {
    if (AsciiLower(entry) == "direct") break;
    const auto equals = entry.find('=');
    if (equals == std::string::npos) {
      if (any.empty()) any = entry;
      continue;
    }
    const std::string key = AsciiLower(Trim(entry.substr(0, equals)));
    const std::string value = Trim(entry.substr(equals + 1));
    if (value.empty()) continue;
    if (key == AsciiLower(scheme)) return value;
    // Windows speaks SOCKS version 4 to a "socks=" proxy.
    if (key == "socks" && socks.empty()) socks = "socks4://" + value;
  }
  return any.empty() ? socks : any;
}

bool BypassMatches(const std::string& bypass, const std::string& url) {
  const UrlParts parts = ParseUrl(url);
  if (parts.host.empty()) return false;
  for (const std::string& entry : Split(bypass, "; \t")) {
    if (BypassEntryMatches(entry, parts)) return true;
  }
  return false;
}

ProxyRoute RouteFromSystem(const std::string& url, const SystemProxySettings& settings,
                           const AutoConfigLookup& lookup) {
  std::string failure;
  if (settings.auto_detect || !settings.auto_config_url.empty()) {
    std::string answer, error;
    if (lookup(answer, error)) {
      const std::string proxy = ProxyForScheme(answer, ParseUrl(url).scheme);
      return ProxyRoute{proxy, ProxyRoute::Origin::kPac, {}};
    }
    failure = "proxy detection failed: " + error;
  }
  // Windows itself falls back to the proxy set by hand when auto-configuration fails.
  const std::string proxy = ProxyForScheme(settings.proxy, ParseUrl(url).scheme);
  if (proxy.empty()) {
    return Direct(failure.empty() ? ProxyRoute::Origin::kSystem : ProxyRoute::Origin::kNone,
                  failure);
  }
  if (BypassMatches(settings.bypass, url))
    return Direct(ProxyRoute::Origin::kSystem, "bypass list");
  return ProxyRoute{proxy, ProxyRoute::Origin::kSystem, failure};
}

std::string RouteLine(const ProxyRoute& route) {
  std::string line =
      route.proxy.empty() ? "route direct" : "route proxy " + ProxyForLog(route.proxy);
  std::string why;
  switch (route.origin) {
    case ProxyRoute::Origin::kNone:
      break;
    case ProxyRoute::Origin::kEnvironment:
      why = "environment";
      break;
    case ProxyRoute::Origin::kSystem:
      why = "system";
      break;
    case ProxyRoute::Origin::kPac:
      why = "PAC";
      break;
  }
  if (!route.note.empty()) why += (why.empty() ? "" : ", ") + route.note;
  if (!why.empty()) line += " (" + why + ")";
  return line;
}

ProxyRoute ChooseRoute(const std::string& url) {
  const EnvLookup getenv = [](const char* name) -> const char* { return std::getenv(name); };
  if (ProxyEnvironmentSet(getenv)) return RouteFromEnvironment(url, getenv);
  SystemProxySettings settings;
  if (!ReadSystemProxySettings(settings)) return Direct(ProxyRoute::Origin::kNone);
  return RouteFromSystem(url, settings, [&](std::string& proxy, std::string& error) {
    return FindProxyForUrl(url, settings, proxy, error);
  });
}

void SetRouteOptions(void* curl_handle, const ProxyRoute& route) {
  CURL* handle = static_cast<CURL*>(curl_handle);
  // Schannel checks revocation and, by default, fails a transfer whose CRL or
  // OCSP servers it cannot reach (offline lists, servers behind the proxy).
  // Best effort keeps the check where it can be made; other TLS back ends
  // ignore the flag. Certificate and host-name verification stay on.
  curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));

  // Environment variables are libcurl's to read; without any setting libcurl
  // goes direct by itself.
  if (route.origin == ProxyRoute::Origin::kEnvironment) return;
  if (route.origin == ProxyRoute::Origin::kNone && route.note.empty()) return;
  curl_easy_setopt(handle, CURLOPT_PROXY, route.proxy.c_str());
  if (route.proxy.empty()) return;
  // Sign in to the proxy as the logged-on user: with an empty user name and
  // password libcurl's SSPI code uses the current Windows credentials for
  // Negotiate and NTLM. Basic stays possible for proxies that offer only it.
  curl_easy_setopt(handle, CURLOPT_PROXYAUTH,
                   static_cast<long>(CURLAUTH_NEGOTIATE | CURLAUTH_NTLM | CURLAUTH_BASIC));
  curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
}

void ApplyRoute(void* curl_handle, const std::string& url) {
  const ProxyRoute route = ChooseRoute(url);
  LogMessage("FetchManifest: %s", RouteLine(route).c_str());
  SetRouteOptions(curl_handle, route);
}

}  // namespace solvane
