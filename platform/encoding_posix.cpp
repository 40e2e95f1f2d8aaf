#include "platform/encoding.h"

namespace solvane {

// Paths here are already the bytes the JSON file stores; a name that is not
// UTF-8 is refused when the state is written.
std::optional<std::string> PathToUtf8(const std::string& path) { return path; }

std::optional<std::string> Utf8ToPath(const std::string& utf8) { return utf8; }

}  // namespace solvane
