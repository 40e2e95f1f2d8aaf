#include "platform/system_proxy.h"

namespace solvane {

// Desktop proxy settings on POSIX systems live in each desktop's own store;
// libcurl's environment variables are what command-line programs honour here.
bool ReadSystemProxySettings(SystemProxySettings&) { return false; }

bool FindProxyForUrl(const std::string&, const SystemProxySettings&, std::string& proxy,
                     std::string& error) {
  proxy.clear();
  error = "no proxy auto-configuration on this system";
  return false;
}

}  // namespace solvane
