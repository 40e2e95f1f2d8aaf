#include "platform/link_cost.h"

namespace solvane {

// A build without GIO has nothing to ask.
LinkCost QueryLinkCost() { return LinkCost::kUnknown; }

}  // namespace solvane
