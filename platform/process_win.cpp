#include "platform/process.h"

namespace solvane {

// Windows has no file-size signal; a write over a quota simply fails.
void PrepareProcess() {}

}  // namespace solvane
