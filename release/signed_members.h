// The members a signed manifest carries for its own freshness: `serial`, an
// integer of at least 1 raised with every publication, and `expires`, a UTC
// time "YYYY-MM-DDTHH:MM:SSZ". Also the rule that a signed release names its
// digest. Checked on the manifest text after its signature passed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "release/manifest.h"

namespace solvane {

struct SignedMembers {
  std::int64_t serial = 0;
  std::int64_t expires = 0;  // Unix seconds
};

// The manifest's serial and expiry when it may be used at `now`: nullopt with
// a short fixed `reason` ("serial missing", "expired", "older than serial 12",
// "release without sha256", ...) otherwise. `highest_serial` is the highest
// serial accepted before (0 for none); an equal serial is accepted. The
// release entry of `platform_key`'s stable version, when there is one, must
// carry 64 lower-case hexadecimal digits as `sha256`.
[[nodiscard]] std::optional<SignedMembers> CheckSignedMembers(std::string_view manifest_text,
                                                              const std::string& platform_key,
                                                              std::int64_t highest_serial,
                                                              std::int64_t now,
                                                              std::string& reason);

// The same, read from a document of `platform_key` that was read before.
[[nodiscard]] std::optional<SignedMembers> CheckSignedMembers(const ManifestDocument& manifest,
                                                              const std::string& platform_key,
                                                              std::int64_t highest_serial,
                                                              std::int64_t now,
                                                              std::string& reason);

// The publisher key pins a signed manifest lists under `publishers`: the
// elements that are 64 lower-case hexadecimal digits (SHA-256 of a signer's
// SubjectPublicKeyInfo), at most kMaxPublisherPins. Only a build with release
// keys may use them.
std::vector<std::string> ManifestPublisherPins(const ManifestDocument& manifest);

// Unix seconds of an exact "YYYY-MM-DDTHH:MM:SSZ" text, or nullopt.
[[nodiscard]] std::optional<std::int64_t> ParseUtcTime(std::string_view text);

// "YYYY-MM-DDTHH:MM:SSZ" for Unix seconds (years 1970 to 9999).
std::string FormatUtcTime(std::int64_t unix_seconds);

// True for 64 lower-case hexadecimal digits.
[[nodiscard]] bool IsSha256Hex(std::string_view text);

}  // namespace solvane
