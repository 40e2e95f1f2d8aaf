// The release manifest "manifest.json" and version comparison.
#pragma once

#include <cstdint>
#include <string>

namespace solvane {

// Finds the current stable release of `platform_key` in `text`. Writes
// version, url, sha256 and notes as it reads them (callers pass "").
// True when a release entry with a non-empty url was found; a version longer
// than 64 bytes counts as no release. A JSON syntax or type error, or nesting
// deeper than kMaxJsonNesting, returns false and puts one line saying what
// went wrong (no line break) in `*error` when given; nothing is printed.
[[nodiscard]] bool ParseManifest(const std::string& text, const std::string& platform_key,
                                 std::string& version, std::string& url, std::string& sha256,
                                 std::string& notes, std::string* error = nullptr);

// Up to three numeric components read the "%d.%d.%d" way, each clamped to the
// signed 32-bit range; components not reached are 0.
struct VersionNumber {
  std::int32_t parts[3] = {0, 0, 0};
  int components_read = 0;
};
VersionNumber ReadVersion(const std::string& text);

// Positive when version a is newer than b, zero when equal, negative when older.
int CompareVersions(const std::string& a, const std::string& b);

}  // namespace solvane
