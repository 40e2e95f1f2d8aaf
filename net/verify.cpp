#include "net/verify.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/sha256.h"

namespace solvane {
namespace {

constexpr std::size_t kReadBufferSize = 8192;

std::optional<std::string> HashFile(const std::string& path) {
  Sha256Hash hash = Sha256Begin();
  if (!hash) return std::nullopt;
  UniqueFile file = OpenFile(path, "rb");
  if (!file) return std::nullopt;
  // Reads go straight into our buffer; stdio's own would only add a copy.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);

  unsigned char buffer[kReadBufferSize];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    if (n == 0) break;
    Sha256Update(*hash, buffer, n);
    if (n < sizeof buffer) break;  // end of file, or a read error after these bytes
  }

  Sha256Digest digest{};
  if (!Sha256Finish(*hash, digest)) return std::nullopt;
  static const char kHex[] = "0123456789abcdef";
  std::string text(64, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return text;
}

}  // namespace

bool VerifySha256(const std::string& path, const std::string& expected_hex) {
  const std::optional<std::string> actual = HashFile(path);
  return actual && *actual == expected_hex;
}

std::optional<std::string> Sha256Hex(const std::string& path) { return HashFile(path); }

}  // namespace solvane
