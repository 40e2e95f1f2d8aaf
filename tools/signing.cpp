#include "tools/signing.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/terminal.h"

namespace solvane::publish {
namespace {

constexpr std::size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
// Offsets in the decoded secret key file.
constexpr std::size_t kKdfAlg = 2, kChkAlg = 4, kSalt = 6, kOps = 38, kMem = 46, kKeynum = 54,
                      kSk = 62, kChk = 126;
constexpr std::size_t kEncryptedBytes = 8 + 64 + 32;  // key id, key, checksum

// Limits far beyond what minisign writes, so a damaged file cannot ask scrypt
// for unbounded time or memory.
constexpr std::uint64_t kMaxOpsLimit = 1ull << 32;
constexpr std::uint64_t kMaxMemLimit = 4ull << 30;

void StoreLe64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t LoadLe64(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// BLAKE2b-256 of the algorithm, key id and key: minisign's secret key checksum.
void Checksum(const std::uint8_t* raw, std::uint8_t out[32]) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, 32);
  crypto_generichash_update(&state, raw, 2);
  crypto_generichash_update(&state, raw + kKeynum, 8);
  crypto_generichash_update(&state, raw + kSk, 64);
  crypto_generichash_final(&state, out, 32);
}

// XORs the key id, key and checksum with the scrypt stream of the password.
bool ApplyPassword(std::uint8_t* raw, const std::string& password) {
  const std::uint64_t ops = LoadLe64(raw + kOps);
  const std::uint64_t mem = LoadLe64(raw + kMem);
  if (ops > kMaxOpsLimit || mem > kMaxMemLimit) return false;
  std::uint8_t stream[kEncryptedBytes];
  if (crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, password.data(), password.size(),
                                         raw + kSalt, ops, static_cast<std::size_t>(mem)) != 0) {
    return false;
  }
  for (std::size_t i = 0; i < kEncryptedBytes; ++i) raw[kKeynum + i] ^= stream[i];
  sodium_memzero(stream, sizeof stream);
  return true;
}

std::string SecondLine(const std::string& text) {
  const std::size_t first = text.find('\n');
  if (first == std::string::npos) return "";
  std::size_t end = text.find('\n', first + 1);
  std::string line = text.substr(first + 1, end == std::string::npos ? end : end - first - 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool DecodeSecretKey(const std::string& text, std::uint8_t* raw) {
  if (text.size() > 4096 || !text.starts_with("untrusted comment: ")) return false;
  return DecodeBase64(SecondLine(text), raw, kSecretKeyBytes) && raw[0] == 'E' && raw[1] == 'd' &&
         raw[kChkAlg] == 'B' && raw[kChkAlg + 1] == '2';
}

}  // namespace

std::optional<KeyFiles> GenerateKeyPair(const std::optional<std::string>& password) {
  if (!CryptoReady()) return std::nullopt;
  std::uint8_t raw[kSecretKeyBytes] = {};
  std::uint8_t public_key[crypto_sign_PUBLICKEYBYTES];
  crypto_sign_keypair(public_key, raw + kSk);
  randombytes_buf(raw + kKeynum, 8);
  raw[0] = 'E';
  raw[1] = 'd';
  raw[kChkAlg] = 'B';
  raw[kChkAlg + 1] = '2';
  Checksum(raw, raw + kChk);

  std::uint8_t public_raw[42] = {'E', 'd'};
  std::memcpy(public_raw + 2, raw + kKeynum, 8);
  std::memcpy(public_raw + 10, public_key, 32);
  KeyId id;
  std::memcpy(id.data(), raw + kKeynum, 8);

  if (password) {
    raw[kKdfAlg] = 'S';
    raw[kKdfAlg + 1] = 'c';
    randombytes_buf(raw + kSalt, 32);
    // minisign's own choice, so its users meet the cost they expect.
    StoreLe64(raw + kOps, crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE);
    StoreLe64(raw + kMem, crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE);
    if (!ApplyPassword(raw, *password)) return std::nullopt;
  }
  KeyFiles files;
  files.public_text = "untrusted comment: minisign public key " + KeyIdText(id) + "\n" +
                      Base64(public_raw, sizeof public_raw) + "\n";
  files.secret_text =
      "untrusted comment: minisign encrypted secret key\n" + Base64(raw, sizeof raw) + "\n";
  sodium_memzero(raw, sizeof raw);
  return files;
}

bool SecretKeyNeedsPassword(const std::string& secret_text) {
  std::uint8_t raw[kSecretKeyBytes];
  const bool encrypted =
      DecodeSecretKey(secret_text, raw) && raw[kKdfAlg] == 'S' && raw[kKdfAlg + 1] == 'c';
  sodium_memzero(raw, sizeof raw);
  return encrypted;
}

std::optional<SecretKey> ReadSecretKey(const std::string& secret_text,
                                       const std::optional<std::string>& password,
                                       std::string& problem) {
  std::uint8_t raw[kSecretKeyBytes];
  if (!CryptoReady() || !DecodeSecretKey(secret_text, raw)) {
    problem = "not a minisign secret key";
    return std::nullopt;
  }
  const bool encrypted = raw[kKdfAlg] == 'S' && raw[kKdfAlg + 1] == 'c';
  if (!encrypted && (raw[kKdfAlg] != 0 || raw[kKdfAlg + 1] != 0)) {
    problem = "unknown key derivation in the secret key";
    return std::nullopt;
  }
  if (encrypted) {
    if (!password) {
      problem = "the secret key needs a password";
      return std::nullopt;
    }
    if (!ApplyPassword(raw, *password)) {
      problem = "cannot derive the key from the password";
      return std::nullopt;
    }
  }
  std::uint8_t expected[32];
  Checksum(raw, expected);
  std::uint8_t zero[32] = {};
  // minisign leaves the checksum of an unencrypted key zero.
  const bool checksum_ok = std::memcmp(expected, raw + kChk, 32) == 0 ||
                           (!encrypted && std::memcmp(zero, raw + kChk, 32) == 0);
  // The key's public half must follow from its seed.
  std::uint8_t public_key[32], rebuilt[64];
  crypto_sign_seed_keypair(public_key, rebuilt, raw + kSk);
  const bool pair_ok = std::memcmp(public_key, raw + kSk + 32, 32) == 0;
  sodium_memzero(rebuilt, sizeof rebuilt);
  if (!checksum_ok || !pair_ok) {
    sodium_memzero(raw, sizeof raw);
    problem = encrypted ? "wrong password" : "the secret key is damaged";
    return std::nullopt;
  }
  SecretKey key;
  std::memcpy(key.key_id.data(), raw + kKeynum, 8);
  std::memcpy(key.key.data(), raw + kSk, 64);
  sodium_memzero(raw, sizeof raw);
  return key;
}

std::optional<SecretKey> LoadSecretKey(const std::string& path, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!(in && text << in.rdbuf())) {
    problem = "cannot read secret key " + path;
    return std::nullopt;
  }
  const std::string secret = text.str();
  std::optional<std::string> password;
  if (SecretKeyNeedsPassword(secret)) {
    if (const char* from_environment = std::getenv(kPasswordVariable)) {
      password = from_environment;
    } else {
      password = ReadPasswordFromTerminal("Password for " + path + ": ");
      if (!password) {
        problem = std::string("the secret key needs a password: set ") + kPasswordVariable +
                  " or run on a terminal";
        return std::nullopt;
      }
    }
  }
  std::optional<SecretKey> key = ReadSecretKey(secret, password, problem);
  if (!key) problem = path + ": " + problem;
  return key;
}

PublicKey PublicHalf(const SecretKey& key) {
  PublicKey half;
  half.key_id = key.key_id;
  std::memcpy(half.key.data(), key.key.data() + 32, 32);
  return half;
}

std::string SignMessage(const std::string& message, const std::string& file_name,
                        const SecretKey& key, std::int64_t unix_time) {
  const std::array<std::uint8_t, 64> digest = Blake2b512(message);
  std::uint8_t line[2 + 8 + 64] = {'E', 'D'};
  std::memcpy(line + 2, key.key_id.data(), 8);
  crypto_sign_detached(line + 10, nullptr, digest.data(), digest.size(), key.key.data());

  const std::string comment =
      "timestamp:" + std::to_string(unix_time) + "\tfile:" + file_name + "\thashed";
  std::string global_message(reinterpret_cast<const char*>(line + 10), 64);
  global_message += comment;
  std::uint8_t global[64];
  crypto_sign_detached(global, nullptr,
                       reinterpret_cast<const unsigned char*>(global_message.data()),
                       global_message.size(), key.key.data());
  return "untrusted comment: signature from solvane-publish secret key\n" +
         Base64(line, sizeof line) + "\ntrusted comment: " + comment + "\n" +
         Base64(global, sizeof global) + "\n";
}

}  // namespace solvane::publish
