// minisign key pairs and signatures for the publishing tool: keys that the
// minisign tool itself reads and writes, signatures the client verifies.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "release/signature.h"

namespace solvane::publish {

// Environment variable that holds the secret key's password, for unattended
// signing; without it the password is asked on the terminal.
inline constexpr const char kPasswordVariable[] = "SOLVANE_SECRET_KEY_PASSWORD";

struct SecretKey {
  KeyId key_id{};
  std::array<std::uint8_t, 64> key{};  // libsodium's Ed25519 secret key (seed + public key)
};

struct KeyFiles {
  std::string public_text;  // the .pub file
  std::string secret_text;  // the secret key file
};

// A new key pair in minisign's file formats; the secret key is encrypted with
// scrypt when `password` is given (which takes seconds and 1 GiB, as minisign).
std::optional<KeyFiles> GenerateKeyPair(const std::optional<std::string>& password);

// Whether a secret key file's key is protected by a password.
bool SecretKeyNeedsPassword(const std::string& secret_text);

// The secret key in a minisign secret key file, or nullopt with `problem`
// ("wrong password", "not a minisign secret key", ...).
std::optional<SecretKey> ReadSecretKey(const std::string& secret_text,
                                       const std::optional<std::string>& password,
                                       std::string& problem);

// The secret key in the file at `path`, its password (when it has one) read
// from kPasswordVariable or else asked on the terminal; nullopt with `problem`.
std::optional<SecretKey> LoadSecretKey(const std::string& path, std::string& problem);

// The public half of a secret key.
PublicKey PublicHalf(const SecretKey& key);

// The text of a prehashed signature file for `message` named `file_name`,
// with a trusted comment "timestamp:<unix time>\tfile:<name>\thashed" as
// minisign writes it.
std::string SignMessage(const std::string& message, const std::string& file_name,
                        const SecretKey& key, std::int64_t unix_time);

}  // namespace solvane::publish
