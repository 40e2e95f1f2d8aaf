#include "platform/link_cost.h"

namespace solvane {

const char* LinkCostText(LinkCost cost) {
  switch (cost) {
    case LinkCost::kUnmetered:
      return "unmetered";
    case LinkCost::kMetered:
      return "metered";
    case LinkCost::kUnknown:
      break;
  }
  return "unknown";
}

}  // namespace solvane
