#include <openssl/evp.h>

#include "platform/sha256.h"

namespace solvane {

struct Sha256Context {
  EVP_MD_CTX* md = nullptr;
};

void Sha256ContextDeleter::operator()(Sha256Context* context) const noexcept {
  if (!context) return;
  EVP_MD_CTX_free(context->md);
  delete context;
}

Sha256Hash Sha256Begin() {
  Sha256Hash hash(new Sha256Context);
  hash->md = EVP_MD_CTX_new();
  if (!hash->md) return nullptr;
  if (EVP_DigestInit_ex(hash->md, EVP_sha256(), nullptr) != 1) return nullptr;
  return hash;
}

void Sha256Update(Sha256Context& hash, const void* data, std::size_t size) {
  EVP_DigestUpdate(hash.md, data, size);
}

bool Sha256Finish(Sha256Context& hash, Sha256Digest& digest) {
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(hash.md, digest.data(), &length) != 1) return false;
  return length == digest.size();
}

}  // namespace solvane
