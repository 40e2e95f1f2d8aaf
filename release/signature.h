// Signatures in minisign's format, checked with libsodium: the public key
// line ("RW..."), the four-line ".minisig" file, and the two Ed25519
// signatures it carries. Only the prehashed algorithm (Ed25519 over the
// BLAKE2b-512 of the file) is accepted.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace solvane {

// Largest signature file accepted; a real one is a few hundred bytes.
inline constexpr std::size_t kSignatureFileCap = 16 * 1024;

using KeyId = std::array<std::uint8_t, 8>;

struct PublicKey {
  KeyId key_id{};
  std::array<std::uint8_t, 32> key{};
};

struct SignatureFile {
  std::array<std::uint8_t, 2> algorithm{};  // "ED" prehashed, "Ed" legacy
  KeyId key_id{};
  std::array<std::uint8_t, 64> signature{};
  std::string trusted_comment;  // without its "trusted comment: " prefix
  std::array<std::uint8_t, 64> global_signature{};
};

// The key in one base64 line of a minisign public key (56 characters, "Ed" +
// key id + key), or nullopt when it is anything else.
[[nodiscard]] std::optional<PublicKey> ParsePublicKey(std::string_view line);

// The base64 line ParsePublicKey reads ("RW...").
std::string PublicKeyText(const PublicKey& key);

// The key in a minisign public key file: an optional "untrusted comment: "
// line, then the key line. CR before LF is tolerated.
[[nodiscard]] std::optional<PublicKey> ParsePublicKeyFile(std::string_view text);

// Keys separated by ';' (empty parts skipped), or nullopt when any is malformed.
[[nodiscard]] std::optional<std::vector<PublicKey>> ParsePublicKeyList(std::string_view text);

// The parts of a signature file, or nullopt when it is not one: four lines
// ("untrusted comment: ...", the signature, "trusted comment: ...", the global
// signature), CR before LF tolerated, nothing but line ends after them.
[[nodiscard]] std::optional<SignatureFile> ParseSignatureFile(std::string_view text);

// What a check of a file against its signature found. kValid only when both
// signatures verify with one of the trusted keys.
enum class SignatureCheck {
  kValid,
  kMalformed,
  kLegacyAlgorithm,
  kUnknownKey,
  kBadSignature,
  kBadTrustedComment,
  kNoCrypto,
};

// Checks `message` against the signature file text with the trusted keys.
[[nodiscard]] SignatureCheck CheckSignature(std::string_view message,
                                            std::string_view signature_text,
                                            const std::vector<PublicKey>& trusted);

// Short fixed text for a check's result ("bad signature", "unknown key", ...).
const char* SignatureCheckText(SignatureCheck result);

// Base64 (with padding) of `bytes`, as minisign writes its lines.
std::string Base64(const std::uint8_t* bytes, std::size_t size);

// The decoded bytes of padded base64 `text` when they are exactly `size` long.
[[nodiscard]] bool DecodeBase64(std::string_view text, std::uint8_t* out, std::size_t size);

// The key id as minisign prints it: upper-case hexadecimal of the id read as
// a little-endian 64-bit number.
std::string KeyIdText(const KeyId& id);

// The BLAKE2b-512 digest of `message`, what the prehashed algorithm signs.
std::array<std::uint8_t, 64> Blake2b512(std::string_view message);

// Initialises libsodium once; false when it cannot be used.
[[nodiscard]] bool CryptoReady();

}  // namespace solvane
