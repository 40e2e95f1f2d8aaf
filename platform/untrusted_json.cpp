#include "platform/untrusted_json.h"

#include <cstdint>

namespace solvane {

bool NestsDeeperThan(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > max_depth) return true;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

std::optional<std::int64_t> JsonInt64(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto unsigned_value = value.get<std::uint64_t>();
    if (unsigned_value > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(unsigned_value);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;
}

}  // namespace solvane
