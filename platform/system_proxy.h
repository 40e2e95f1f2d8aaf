// The user's proxy settings as the operating system keeps them, and the
// system's own proxy auto-configuration (auto-detect, PAC files).
#pragma once

#include <string>

namespace solvane {

// What the system's settings say, in the system's own text forms.
struct SystemProxySettings {
  bool auto_detect = false;     // look for a PAC file on the network (WPAD)
  std::string auto_config_url;  // a PAC file's URL, "" for none
  std::string proxy;            // "host:port" or "http=host:port;https=host:port", "" for none
  std::string bypass;           // hosts that go direct, ';'-separated, may hold "<local>"
};

// Fills `settings` with the current user's settings, read once per process.
// False where the system keeps none the program reads (always on POSIX, where
// libcurl's environment variables are the only proxy settings).
[[nodiscard]] bool ReadSystemProxySettings(SystemProxySettings& settings);

// Runs auto-detection and the auto-config script of `settings` for `url`,
// each step bounded by time-outs of a few seconds. True with the script's
// proxy list in `proxy` ("" meaning direct); false with the reason in `error`
// when no script could be found, fetched or run. A failed detection is
// remembered for the rest of the process.
[[nodiscard]] bool FindProxyForUrl(const std::string& url, const SystemProxySettings& settings,
                                   std::string& proxy, std::string& error);

}  // namespace solvane
