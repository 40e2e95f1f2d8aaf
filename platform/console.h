// The process's standard error as a console.
#pragma once

namespace solvane {

// Whether standard error is an interactive terminal.
bool StderrIsTerminal();

}  // namespace solvane
