#include <gio/gio.h>

#include "platform/link_cost.h"

namespace solvane {

LinkCost QueryLinkCost() {
  // The default monitor is GIO's own, never released by its callers. GIO
  // marks no network metered when it cannot tell (no NetworkManager), so
  // "not metered" is only as good as unknown.
  GNetworkMonitor* monitor = g_network_monitor_get_default();
  if (monitor == nullptr) return LinkCost::kUnknown;
  return g_network_monitor_get_network_metered(monitor) ? LinkCost::kMetered : LinkCost::kUnknown;
}

}  // namespace solvane
