// Conversions between the program's narrow path text and UTF-8.
#pragma once

#include <optional>
#include <string>

namespace solvane {

// A narrow path (system code page) as UTF-8, for storing in JSON. nullopt when
// it cannot be converted.
std::optional<std::string> PathToUtf8(const std::string& path);

// The inverse of PathToUtf8. nullopt when the text has no narrow form.
std::optional<std::string> Utf8ToPath(const std::string& utf8);

}  // namespace solvane
