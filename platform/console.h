// The process's standard error as a console.
#pragma once

namespace solvane {

// Whether standard error is an interactive terminal.
[[nodiscard]] bool StderrIsTerminal();

}  // namespace solvane
