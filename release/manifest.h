// The release manifest "manifest.json" and version comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace solvane {

// A manifest as read from its text, once: only the members the program reads
// (`serial`, `expires`, `download_page`, the version of one platform under `current`'s
// `stable` and one named channel, and that platform's release entries with
// their url, sha256, notes, rollout, withdrawn, critical, channel, min_os,
// informational and min_autoupdate) are
// kept, so that its size follows what is read rather than what was sent.
struct ManifestDocument {
  nlohmann::json kept;
  std::string error;  // not "": the text could not be read (one line, no line break)
};

// Release entries of the platform kept beyond those that `current` names:
// the first this many in the text.
inline constexpr std::size_t kMaxListedReleases = 256;

// A release entry's `deltas` are read up to this many; one more is kept so
// that the reader can tell there were more.
inline constexpr std::size_t kMaxReleaseDeltas = 16;

// The top-level `publishers` list (key pins a signed manifest adds to the
// build's) is read up to this many elements.
inline constexpr std::size_t kMaxPublisherPins = 16;

// Reads `text` for `platform_key` and, when not "", the channel `channel`.
// The entries of the versions in `held` (what this machine has installed or
// staged) are kept wherever they stand, as `current`'s are. Text nested
// deeper than kMaxJsonNesting is refused before parsing.
[[nodiscard]] ManifestDocument ReadManifestDocument(const std::string& text,
                                                    const std::string& platform_key,
                                                    const std::string& channel = "",
                                                    const std::vector<std::string>& held = {});

// The current stable release of a platform: `current`'s `stable` version and
// that version's release entry. Each member is set once the reading reached
// it, so an error leaves those read before it set.
struct StableEntry {
  std::optional<std::string> version, url, sha256, notes;
  // Not "": the document could not be read, or the version or a member of
  // its entry is of the wrong JSON type; one line, the JSON library's text.
  std::string error;
};

// Reads the stable release of `platform_key`: the version, then (when it is
// at most 64 bytes and has an entry) the entry's url, sha256 and notes, each
// "" when missing. Nothing is read past the first error.
[[nodiscard]] StableEntry ReadStableEntry(const ManifestDocument& manifest,
                                          const std::string& platform_key);

// ReadStableEntry of `text` for `platform_key`, for the publishing tool and
// whoever wants only the stable release (the workflows read the manifest
// through ChooseRelease). Writes version, url, sha256 and notes as far as the
// reading got (callers pass ""). True when a release entry with a non-empty
// url was found; a version longer than 64 bytes counts as no release. A JSON
// syntax or type error, or nesting deeper than kMaxJsonNesting, returns false
// and puts one line saying what went wrong (no line break) in `*error` when
// given; nothing is printed.
[[nodiscard]] bool ParseManifest(const std::string& text, const std::string& platform_key,
                                 std::string& version, std::string& url, std::string& sha256,
                                 std::string& notes, std::string* error = nullptr);

// The same, read from a document of `platform_key` that was read before.
[[nodiscard]] bool ParseManifest(const ManifestDocument& manifest, const std::string& platform_key,
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
