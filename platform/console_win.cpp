#include <io.h>

#include <cstdio>

#include "platform/console.h"

namespace solvane {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace solvane
