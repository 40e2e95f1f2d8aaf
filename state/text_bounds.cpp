#include "state/text_bounds.h"

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

std::string_view Utf8Prefix(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t end = max_bytes;
  // Back up over continuation bytes (10xxxxxx) to the start of the character
  // that the cut would split; at most three of them belong to one character.
  std::size_t backed = 0;
  while (end > 0 && backed < 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
    ++backed;
  }
  if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) end = max_bytes;  // not UTF-8
  return text.substr(0, end);
}

}  // namespace solvane
