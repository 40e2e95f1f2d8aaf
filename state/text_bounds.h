// Limits on untrusted text: how deep a JSON text nests.
#pragma once

#include <string_view>

namespace solvane {

// Deepest nesting of arrays and objects accepted in the state file and the
// manifest. The program's own documents are four levels deep at most.
inline constexpr int kMaxJsonNesting = 256;

// Whether `text` opens more than `max_depth` arrays or objects inside one
// another (brackets inside JSON strings do not count). Scans without
// allocating and stops at the first level too many.
[[nodiscard]] bool NestsDeeperThan(std::string_view text, int max_depth);

}  // namespace solvane
