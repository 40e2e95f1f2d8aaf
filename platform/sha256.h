// Streaming SHA-256 over the OS's hashing service.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

namespace solvane {

using Sha256Digest = std::array<unsigned char, 32>;

struct Sha256Context;
struct Sha256ContextDeleter {
  void operator()(Sha256Context* context) const noexcept;
};
using Sha256Hash = std::unique_ptr<Sha256Context, Sha256ContextDeleter>;

// A fresh hash state; null when the hashing service cannot provide one.
[[nodiscard]] Sha256Hash Sha256Begin();

// Feeds `size` bytes into the hash.
void Sha256Update(Sha256Context& hash, const void* data, std::size_t size);

// Writes the digest of everything fed so far. Returns false on failure.
[[nodiscard]] bool Sha256Finish(Sha256Context& hash, Sha256Digest& digest);

// The digest as 64 lower-case hexadecimal digits, the form manifests use.
std::string HexDigest(const Sha256Digest& digest);

}  // namespace solvane
