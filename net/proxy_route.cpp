#include "net/proxy_route.h"

#include <curl/curl.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

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

using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;

// A dotted quad as inet_pton reads it: four decimal parts, no leading zeros.
std::optional<Ipv4> ParseIpv4(const std::string& text) {
  Ipv4 address{};
  std::size_t at = 0;
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return std::nullopt;
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[at++] - '0');
    }
    if (at == start || value > 255 || (text[start] == '0' && at - start > 1)) return std::nullopt;
    address[part] = static_cast<std::uint8_t>(value);
  }
  if (at != text.size()) return std::nullopt;
  return address;
}

// An IPv6 address as inet_pton reads it: up to eight groups of hex digits,
// one "::" for a run of zero groups, optionally ending in a dotted quad.
std::optional<Ipv6> ParseIpv6(const std::string& text) {
  std::vector<std::uint16_t> head, tail;
  std::vector<std::uint16_t>* groups = &head;
  bool compressed = false;
  std::size_t at = 0;
  if (text.compare(0, 2, "::") == 0) {
    compressed = true;
    groups = &tail;
    at = 2;
  }
  std::optional<Ipv4> quad;
  while (at < text.size()) {
    const auto end = text.find(':', at);
    const std::string group = text.substr(at, end == std::string::npos ? end : end - at);
    if (end == std::string::npos && group.find('.') != std::string::npos) {
      quad = ParseIpv4(group);
      if (!quad) return std::nullopt;
      break;
    }
    if (group.empty() || group.size() > 4 ||
        group.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return std::nullopt;
    }
    groups->push_back(static_cast<std::uint16_t>(std::stoul(group, nullptr, 16)));
    if (end == std::string::npos) break;
    at = end + 1;
    if (at < text.size() && text[at] == ':') {
      if (compressed) return std::nullopt;
      compressed = true;
      groups = &tail;
      ++at;
    } else if (at == text.size()) {
      return std::nullopt;  // a single trailing ':'
    }
  }
  const std::size_t count = head.size() + tail.size() + (quad ? 2 : 0);
  if (count > 8 || (!compressed && count != 8) || (compressed && count == 8)) return std::nullopt;
  Ipv6 address{};
  std::size_t byte = 0;
  for (const std::uint16_t group : head) {
    address[byte++] = static_cast<std::uint8_t>(group >> 8);
    address[byte++] = static_cast<std::uint8_t>(group & 0xff);
  }
  byte = 16 - 2 * tail.size() - (quad ? 4 : 0);
  for (const std::uint16_t group : tail) {
    address[byte++] = static_cast<std::uint8_t>(group >> 8);
    address[byte++] = static_cast<std::uint8_t>(group & 0xff);
  }
  if (quad) std::copy(quad->begin(), quad->end(), address.begin() + 12);
  return address;
}

// The leading `bits` of two addresses agree; 0 bits (no "/N") asks for all of them.
template <std::size_t N>
bool PrefixMatches(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b,
                   unsigned bits) {
  if (bits == 0) bits = N * 8;
  if (bits > N * 8) return false;
  for (std::size_t i = 0; bits > 0; ++i) {
    const unsigned take = bits < 8 ? bits : 8;
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - take));
    if ((a[i] & mask) != (b[i] & mask)) return false;
    bits -= take;
  }
  return true;
}

// One no_proxy entry against a numeric host: the address itself or a
// network in CIDR form ("127.0.0.0/8", "fd00::/8").
template <typename Address>
bool AddressEntryMatches(const std::string& entry, const Address& host,
                         std::optional<Address> (*parse)(const std::string&)) {
  const auto slash = entry.find('/');
  unsigned bits = 0;
  if (slash != std::string::npos) {
    const std::string digits = entry.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    bits = static_cast<unsigned>(std::stoul(digits));
    if (bits == 0) return false;  // "/0" is not a network libcurl matches
  }
  const std::optional<Address> network = parse(entry.substr(0, slash));
  return network && PrefixMatches(*network, host, bits);
}

// libcurl's no_proxy matching: the whole list "*" for every host; a numeric
// host against addresses and CIDR networks; a host name against names that
// match it and every host below it, a leading or trailing dot ignored.
bool NoProxyMatches(const std::string& list, const std::string& host) {
  if (Trim(list) == "*") return true;
  const std::optional<Ipv4> ipv4 = ParseIpv4(host);
  const std::optional<Ipv6> ipv6 = ipv4 ? std::nullopt : ParseIpv6(host);
  std::string name = host;
  if (!ipv4 && !ipv6 && !name.empty() && name.back() == '.') name.pop_back();
  for (std::string entry : Split(list, ", \t")) {
    if (ipv4) {
      if (AddressEntryMatches(entry, *ipv4, ParseIpv4)) return true;
      continue;
    }
    if (ipv6) {
      if (AddressEntryMatches(entry, *ipv6, ParseIpv6)) return true;
      continue;
    }
    if (entry.back() == '.') entry.pop_back();
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    entry = AsciiLower(entry);
    if (name == entry) return true;
    if (name.size() > entry.size() &&
        name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

const char* NonEmpty(const EnvLookup& getenv, const char* name) {
  const char* value = getenv(name);
  return value && *value ? value : nullptr;
}

// The proxy as the log may show it: scheme (when not libcurl's default
// "http"), host and port, read the way libcurl reads the proxy. Nothing of a
// user name or password, also when the text cannot be read at all.
std::string ProxyForLog(const std::string& proxy) {
  const UniqueUrl url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, proxy.c_str(),
                           CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return "(unreadable address)";
  }
  const std::string scheme = AsciiLower(UrlPart(url.get(), CURLUPART_SCHEME));
  const std::string host = UrlPart(url.get(), CURLUPART_HOST);
  // libcurl's default proxy port, where the setting names none.
  std::string port = UrlPart(url.get(), CURLUPART_PORT);
  if (port.empty()) port = scheme == "https" ? "443" : "1080";
  return (scheme == "http" ? "" : scheme + "://") + host + ":" + port;
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

  // The route was decided here, also from libcurl's own variables: an empty
  // proxy and an empty no-proxy list keep libcurl from deciding again, so the
  // route in the log is the route taken.
  curl_easy_setopt(handle, CURLOPT_PROXY, route.proxy.c_str());
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
  if (route.proxy.empty() || route.origin == ProxyRoute::Origin::kEnvironment) return;
  // Sign in to the proxy as the logged-on user: with an empty user name and
  // password libcurl's SSPI code uses the current Windows credentials for
  // Negotiate and NTLM. Basic stays possible for proxies that offer only it.
  curl_easy_setopt(handle, CURLOPT_PROXYAUTH,
                   static_cast<long>(CURLAUTH_NEGOTIATE | CURLAUTH_NTLM | CURLAUTH_BASIC));
  curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
}

}  // namespace solvane
