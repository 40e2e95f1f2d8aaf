#include "platform/sha256.h"

namespace solvane {

std::string HexDigest(const Sha256Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(2 * digest.size(), '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return text;
}

}  // namespace solvane
