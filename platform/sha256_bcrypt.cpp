#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>

#include "platform/sha256.h"

namespace solvane {

struct Sha256Context {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

void Sha256ContextDeleter::operator()(Sha256Context* context) const noexcept {
  if (!context) return;
  if (context->hash) ::BCryptDestroyHash(context->hash);
  if (context->algorithm) ::BCryptCloseAlgorithmProvider(context->algorithm, 0);
  delete context;
}

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

Sha256Hash Sha256Begin() {
  Sha256Hash hash(new Sha256Context);
  if (!Succeeded(
          ::BCryptOpenAlgorithmProvider(&hash->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    hash->algorithm = nullptr;
    return nullptr;
  }
  // No object buffer: the system allocates and frees the hash state itself.
  if (!Succeeded(::BCryptCreateHash(hash->algorithm, &hash->hash, nullptr, 0, nullptr, 0, 0))) {
    hash->hash = nullptr;
    return nullptr;
  }
  return hash;
}

void Sha256Update(Sha256Context& hash, const void* data, std::size_t size) {
  // BCryptHashData takes a 32-bit length.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000u));
    ::BCryptHashData(hash.hash, bytes, chunk, 0);
    bytes += chunk;
    size -= chunk;
  }
}

bool Sha256Finish(Sha256Context& hash, Sha256Digest& digest) {
  return Succeeded(
      ::BCryptFinishHash(hash.hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

}  // namespace solvane
