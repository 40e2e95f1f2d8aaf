#include <unistd.h>

#include "platform/console.h"

namespace solvane {

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace solvane
