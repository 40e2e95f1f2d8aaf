#include "release/verify.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/sha256.h"

namespace solvane {
namespace {

constexpr std::size_t kReadBufferSize = 8192;

std::optional<std::string> HashStream(const ByteReader& read) {
  Sha256Hash hash = Sha256Begin();
  if (!hash) return std::nullopt;
  unsigned char buffer[kReadBufferSize];
  for (;;) {
    const long long n = read(buffer, sizeof buffer);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    Sha256Update(*hash, buffer, static_cast<std::size_t>(n));
  }

  Sha256Digest digest{};
  if (!Sha256Finish(*hash, digest)) return std::nullopt;
  return HexDigest(digest);
}

std::optional<std::string> HashFile(const std::string& path) {
  UniqueFile file = OpenFile(path, "rb");
  if (!file) return std::nullopt;
  // Reads go straight into our buffer; stdio's own would only add a copy.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return HashStream([&file](void* buffer, std::size_t size) -> long long {
    const std::size_t n = std::fread(buffer, 1, size, file.get());
    if (n == 0 && std::ferror(file.get())) return -1;
    return static_cast<long long>(n);
  });
}

}  // namespace

bool VerifySha256(const std::string& path, const std::string& expected_hex) {
  const std::optional<std::string> actual = HashFile(path);
  return actual && *actual == expected_hex;
}

std::optional<std::string> Sha256Hex(const std::string& path) { return HashFile(path); }

bool VerifySha256Stream(const ByteReader& read, const std::string& expected_hex) {
  const std::optional<std::string> actual = HashStream(read);
  return actual && *actual == expected_hex;
}

}  // namespace solvane
