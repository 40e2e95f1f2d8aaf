// Reading JSON that came from outside the program (the state file, the
// manifest): how deep a text may nest, and the one way a whole number is read.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace solvane {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects accepted in the state file and the
// manifest. The program's own documents are four levels deep at most.
inline constexpr int kMaxJsonNesting = 256;

// Whether `text` opens more than `max_depth` arrays or objects inside one
// another (brackets inside JSON strings do not count). Scans without
// allocating and stops at the first level too many.
[[nodiscard]] bool NestsDeeperThan(std::string_view text, int max_depth);

// The value of a JSON integer within the signed 64-bit range: the one way
// the program reads a whole number from JSON. nullopt for anything else,
// numbers written with a fraction or an exponent and integers past the range
// included.
[[nodiscard]] std::optional<std::int64_t> JsonInt64(const Json& value);

}  // namespace solvane
