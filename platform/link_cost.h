// Whether the system counts the link downloads go over as metered (a
// phone's hotspot, a capped mobile plan), so that large downloads can wait.
#pragma once

namespace solvane {

enum class LinkCost {
  kUnknown,  // the system does not say; taken as not metered
  kUnmetered,
  kMetered,
};

// What the system says of the link now: the network list manager's
// connection cost on Windows, GIO's network monitor on Linux (a build
// without GTK, and so without GIO, does not know).
[[nodiscard]] LinkCost QueryLinkCost();

// The text of `cost` for the log: "unknown", "unmetered", "metered".
[[nodiscard]] const char* LinkCostText(LinkCost cost);

}  // namespace solvane
