// Reading a secret from the controlling terminal without echo.
#pragma once

#include <optional>
#include <string>

namespace solvane {

// Shows `prompt` on the terminal and reads one line with echo off. nullopt
// when there is no terminal to ask (no controlling terminal, end of input).
[[nodiscard]] std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt);

}  // namespace solvane
