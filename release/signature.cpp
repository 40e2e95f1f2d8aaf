#include "release/signature.h"

#include <sodium.h>

#include <cstring>

namespace solvane {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::uint8_t kPrehashed[2] = {'E', 'D'};
constexpr std::uint8_t kLegacy[2] = {'E', 'd'};
constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr std::size_t kSignatureLineBytes = 2 + 8 + 64;

// The next line of `text` from `pos`, without its LF and one CR before it.
// False at the end of the text.
bool NextLine(std::string_view text, std::size_t& pos, std::string_view& line) {
  if (pos >= text.size()) return false;
  std::size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  line = text.substr(pos, end - pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos = end + 1;
  return true;
}

bool OnlyLineEnds(std::string_view rest) {
  return rest.find_first_not_of("\r\n") == std::string_view::npos;
}

}  // namespace

bool CryptoReady() { return sodium_init() >= 0; }

bool DecodeBase64(std::string_view text, std::uint8_t* out, std::size_t size) {
  // Bounded before decoding: the exact length of padded base64 for `size` bytes.
  if (text.size() != (size + 2) / 3 * 4) return false;
  // libsodium's decoder assumes 7-bit input: a byte above 0x7f can decode as
  // a letter. Only the alphabet, and '=' as padding at the end, get through.
  const std::size_t padding = (3 - size % 3) % 3;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!(i < text.size() - padding ? letter : c == '=')) return false;
  }
  std::size_t decoded = 0;
  const char* end = nullptr;
  const int rc = sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                                   sodium_base64_VARIANT_ORIGINAL);
  return rc == 0 && decoded == size && end == text.data() + text.size();
}

std::string Base64(const std::uint8_t* bytes, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::string KeyIdText(const KeyId& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = id.size(); i-- > 0;) {
    text += kHex[id[i] >> 4];
    text += kHex[id[i] & 15];
  }
  return text;
}

std::array<std::uint8_t, 64> Blake2b512(std::string_view message) {
  std::array<std::uint8_t, 64> digest{};
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                     nullptr, 0);
  return digest;
}

std::optional<PublicKey> ParsePublicKey(std::string_view line) {
  std::uint8_t raw[kPublicKeyBytes];
  if (!DecodeBase64(line, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') return std::nullopt;
  PublicKey key;
  std::memcpy(key.key_id.data(), raw + 2, key.key_id.size());
  std::memcpy(key.key.data(), raw + 10, key.key.size());
  return key;
}

std::string PublicKeyText(const PublicKey& key) {
  std::uint8_t raw[kPublicKeyBytes] = {'E', 'd'};
  std::memcpy(raw + 2, key.key_id.data(), key.key_id.size());
  std::memcpy(raw + 10, key.key.data(), key.key.size());
  return Base64(raw, sizeof raw);
}

std::optional<PublicKey> ParsePublicKeyFile(std::string_view text) {
  if (text.size() > kSignatureFileCap) return std::nullopt;
  std::size_t pos = 0;
  std::string_view line;
  if (!NextLine(text, pos, line)) return std::nullopt;
  if (line.starts_with(kUntrustedPrefix) && !NextLine(text, pos, line)) return std::nullopt;
  if (!OnlyLineEnds(text.substr(pos < text.size() ? pos : text.size()))) return std::nullopt;
  return ParsePublicKey(line);
}

std::optional<std::vector<PublicKey>> ParsePublicKeyList(std::string_view text) {
  std::vector<PublicKey> keys;
  while (!text.empty()) {
    const std::size_t end = text.find(';');
    const std::string_view part = text.substr(0, end);
    if (!part.empty()) {
      const std::optional<PublicKey> key = ParsePublicKey(part);
      if (!key) return std::nullopt;
      keys.push_back(*key);
    }
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return keys;
}

std::optional<SignatureFile> ParseSignatureFile(std::string_view text) {
  if (text.size() > kSignatureFileCap) return std::nullopt;
  std::size_t pos = 0;
  std::string_view untrusted, signature_line, trusted, global_line;
  if (!NextLine(text, pos, untrusted) || !NextLine(text, pos, signature_line) ||
      !NextLine(text, pos, trusted) || !NextLine(text, pos, global_line)) {
    return std::nullopt;
  }
  if (!untrusted.starts_with(kUntrustedPrefix) || !trusted.starts_with(kTrustedPrefix)) {
    return std::nullopt;
  }
  if (pos < text.size() && !OnlyLineEnds(text.substr(pos))) return std::nullopt;

  SignatureFile file;
  std::uint8_t raw[kSignatureLineBytes];
  if (!DecodeBase64(signature_line, raw, sizeof raw) ||
      !DecodeBase64(global_line, file.global_signature.data(), file.global_signature.size())) {
    return std::nullopt;
  }
  std::memcpy(file.algorithm.data(), raw, 2);
  std::memcpy(file.key_id.data(), raw + 2, file.key_id.size());
  std::memcpy(file.signature.data(), raw + 10, file.signature.size());
  file.trusted_comment = std::string(trusted.substr(kTrustedPrefix.size()));
  return file;
}

SignatureCheck CheckSignature(std::string_view message, std::string_view signature_text,
                              const std::vector<PublicKey>& trusted) {
  if (!CryptoReady()) return SignatureCheck::kNoCrypto;
  const std::optional<SignatureFile> file = ParseSignatureFile(signature_text);
  if (!file) return SignatureCheck::kMalformed;
  if (std::memcmp(file->algorithm.data(), kLegacy, 2) == 0) {
    return SignatureCheck::kLegacyAlgorithm;
  }
  if (std::memcmp(file->algorithm.data(), kPrehashed, 2) != 0) return SignatureCheck::kMalformed;

  const PublicKey* key = nullptr;
  for (const PublicKey& candidate : trusted) {
    if (candidate.key_id == file->key_id) key = &candidate;
  }
  if (!key) return SignatureCheck::kUnknownKey;

  const std::array<std::uint8_t, 64> digest = Blake2b512(message);
  if (crypto_sign_verify_detached(file->signature.data(), digest.data(), digest.size(),
                                  key->key.data()) != 0) {
    return SignatureCheck::kBadSignature;
  }
  // The global signature binds the trusted comment to this signature.
  std::string signed_comment(file->signature.begin(), file->signature.end());
  signed_comment += file->trusted_comment;
  if (crypto_sign_verify_detached(file->global_signature.data(),
                                  reinterpret_cast<const unsigned char*>(signed_comment.data()),
                                  signed_comment.size(), key->key.data()) != 0) {
    return SignatureCheck::kBadTrustedComment;
  }
  return SignatureCheck::kValid;
}

const char* SignatureCheckText(SignatureCheck result) {
  switch (result) {
    case SignatureCheck::kValid:
      return "valid";
    case SignatureCheck::kMalformed:
      return "signature malformed";
    case SignatureCheck::kLegacyAlgorithm:
      return "legacy signature";
    case SignatureCheck::kUnknownKey:
      return "unknown key";
    case SignatureCheck::kBadSignature:
      return "bad signature";
    case SignatureCheck::kBadTrustedComment:
      return "bad trusted comment";
    case SignatureCheck::kNoCrypto:
      break;
  }
  return "no crypto";
}

}  // namespace solvane
