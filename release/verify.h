// Checking a downloaded file against the manifest's SHA-256 digest.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "platform/sha256.h"

namespace solvane {

// True only when the file could be read and the lower-case hexadecimal text
// of its SHA-256 equals `expected_hex` byte for byte (so upper case, padding
// or a wrong length never match). Streams the file through an 8192-byte buffer.
[[nodiscard]] bool VerifySha256(const std::string& path, const std::string& expected_hex);

// The 64 lower-case hexadecimal digits of the file's SHA-256, or nullopt when
// it cannot be opened or hashed.
[[nodiscard]] std::optional<std::string> Sha256Hex(const std::string& path);

// Reads up to `size` bytes into `buffer`: the count, 0 at the end, negative
// on a read error.
using ByteReader = std::function<long long(void* buffer, std::size_t size)>;

// As VerifySha256, for bytes that `read` delivers until it reports the end.
// False when a read fails.
[[nodiscard]] bool VerifySha256Stream(const ByteReader& read, const std::string& expected_hex);

}  // namespace solvane
