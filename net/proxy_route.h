// The way a transfer reaches its server: straight, or through a proxy named by
// libcurl's environment variables or by the system's own proxy settings.
#pragma once

#include <functional>
#include <string>

#include "platform/system_proxy.h"

namespace solvane {

// Where one transfer connects, and which setting said so.
struct ProxyRoute {
  enum class Origin { kNone, kEnvironment, kSystem, kPac };
  std::string proxy;  // as libcurl takes it ("host:port", "socks4://host:port"); "" for direct
  Origin origin = Origin::kNone;
  std::string note;  // what else the log should say: "bypass list", a failed detection
};

// Looks up an environment variable; nullptr when unset.
using EnvLookup = std::function<const char*(const char* name)>;

// The system's auto-configuration for one URL (see FindProxyForUrl).
using AutoConfigLookup = std::function<bool(std::string& proxy, std::string& error)>;

// True when one of libcurl's proxy variables (http_proxy, https_proxy,
// HTTPS_PROXY, all_proxy, ALL_PROXY, no_proxy, NO_PROXY) is set and not empty.
[[nodiscard]] bool ProxyEnvironmentSet(const EnvLookup& getenv);

// The route libcurl takes for `url` from its environment variables, read in
// libcurl's own order (the scheme's variable, then all_proxy; no_proxy first).
ProxyRoute RouteFromEnvironment(const std::string& url, const EnvLookup& getenv);

// The proxy of a system proxy list for `scheme`: "host:port" for every scheme,
// or the matching entry of "http=host:port;https=host:port", falling back to
// a "socks=" entry. "" when the list names none; a "DIRECT" entry ends it.
std::string ProxyForScheme(const std::string& list, const std::string& scheme);

// True when the host of `url` is on the system bypass list: ';'-separated
// host patterns with '*' wildcards, an optional "scheme://" and ":port", and
// "<local>" for host names without a dot.
[[nodiscard]] bool BypassMatches(const std::string& bypass, const std::string& url);

// The route for `url` from the system settings: auto-configuration (through
// `lookup`) when set, the named proxy and bypass list otherwise or when
// auto-configuration fails; direct when nothing names a proxy.
ProxyRoute RouteFromSystem(const std::string& url, const SystemProxySettings& settings,
                           const AutoConfigLookup& lookup);

// The log text for `route`, e.g. "route direct" or
// "route proxy 10.0.0.1:3128 (system)": the proxy's scheme (unless http), host
// and port as libcurl reads them. Never holds any part of a user or password.
std::string RouteLine(const ProxyRoute& route);

// The route for `url`: libcurl's environment variables where one is set,
// otherwise the system settings (read once per run), otherwise direct.
ProxyRoute ChooseRoute(const std::string& url);

// Sets `route` on a libcurl easy handle as it stands: its proxy (none for a
// direct route) with an empty no-proxy list, so that libcurl never decides
// again from its variables; a system proxy signs in as the current user.
void SetRouteOptions(void* curl_handle, const ProxyRoute& route);

}  // namespace solvane
