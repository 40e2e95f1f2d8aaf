// Linux installers carry no signature the program checks yet.
#include "platform/publisher_check.h"

namespace solvane {

PublisherVerdict CheckPublisher(HeldFile&, const std::string&, const PublisherRule&) {
  return {PublisherVerdictKind::kNotChecked, ""};
}

}  // namespace solvane
