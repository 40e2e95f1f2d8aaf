// Which release a client is offered: channels, staged rollouts, withdrawn
// and critical releases, as the signed manifest sets them for each release
// entry. A manifest without these members offers what `current`'s `stable`
// names, as ReadStableEntry reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "release/manifest.h"

namespace solvane {

// How much of the installed base a release reaches.
struct Rollout {
  enum class Kind { kEveryone, kFixed, kGrowing };
  Kind kind = Kind::kEveryone;
  double percent = 100;    // kFixed: the share, 0 to 100
  std::int64_t start = 0;  // kGrowing: Unix seconds at which the share is 0
  double days = 0;         // kGrowing: days from 0 to 100 %, above 0
};

// A patch that makes the release's installer out of an earlier one.
struct ReleaseDelta {
  std::string from_sha256;  // the digest of the installer it applies to
  std::string url;
  std::string sha256;  // the patch's own digest
  std::int64_t size = 0;
};

// One release entry of the platform as the manifest lists it.
struct ListedRelease {
  std::string version;
  std::string url;
  std::string sha256;
  std::string notes;
  std::string channel;    // the entry's `channel`; "" for stable
  std::int64_t size = 0;  // the installer's bytes; 0 when not given
  Rollout rollout;
  bool withdrawn = false;
  bool critical = false;
  std::string problem;               // not "": the entry is unusable, for this reason
  std::vector<ReleaseDelta> deltas;  // the usable ones
  std::string delta_problem;         // not "": why a listed delta was passed over
};

// A channel name: 1 to 32 characters from a-z, 0-9 and '-', not led by '-'.
[[nodiscard]] bool IsChannelName(std::string_view name);

// The platform's release entries in the document, in its key order (at most
// kMaxListedReleases plus the current ones). An entry with a member of the
// wrong type or out of range is listed with its `problem`.
std::vector<ListedRelease> ListReleases(const ManifestDocument& manifest,
                                        const std::string& platform_key);

// One release entry's members, or the entry with its `problem`.
ListedRelease ReadReleaseEntry(const std::string& version, const nlohmann::json& entry);

// The version `current`.`channel` names for the platform, when a string.
std::optional<std::string> CurrentVersion(const ManifestDocument& manifest,
                                          const std::string& platform_key,
                                          const std::string& channel);

// The share (0 to 100) of installations that `rollout` reaches at `now`.
double RolloutShare(const Rollout& rollout, std::int64_t now);

// True when a draw, as a share of the 32-bit range, lies below `percent`:
// a draw in at some share stays in at every higher share.
[[nodiscard]] bool DrawCovered(std::uint32_t draw, double percent);

struct ReleaseQuery {
  std::string platform_key;
  std::string channel;  // "" for stable only
  std::uint32_t draw = 0;
  std::int64_t now = 0;
  // The version installed; nullopt for a fresh install, which takes any.
  std::optional<std::string> installed;
  bool require_sha256 = false;  // a signed build takes no release without a digest
  bool require_size = false;    // ... nor one without its size
};

struct ReleaseChoice {
  enum class Outcome {
    kFound,      // `release` is the client's
    kHeldBack,   // the current release was passed over and no earlier one suits
    kNoRelease,  // `current` names no release entry with a url for the platform
    kUnusable,   // the manifest cannot be read: `error`
  };
  Outcome outcome = Outcome::kNoRelease;
  ListedRelease release;  // when found
  // When the current release was passed over, why ("outside the rollout of
  // 2.0.0 (10%)", "2.0.0 withdrawn", "2.0.0 unusable: ...").
  std::string passed_over;
  // Log-worthy facts: a channel the manifest lacks, unusable entries met.
  std::vector<std::string> notices;
  std::string error;  // kUnusable: ReadStableEntry's error, one line

  [[nodiscard]] bool found() const { return outcome == Outcome::kFound; }
};

// The release for the query: the newer of the stable and the channel's
// current version when the client may have it; when it is withdrawn,
// unusable or its rollout does not reach the draw, the newest listed
// release of the client's channels that reaches it, is usable and is newer
// than what is installed. Nothing when `current` names no entry with a url.
// The stable release is read strictly first (ReadStableEntry): a document
// that could not be read, or a stable version or entry member of the wrong
// type, makes the whole manifest unusable, whatever a channel names.
ReleaseChoice ChooseRelease(const ManifestDocument& manifest, const ReleaseQuery& query);

// The listed entry of `version`, if any.
std::optional<ListedRelease> FindRelease(const std::vector<ListedRelease>& releases,
                                         const std::string& version);

// A fresh draw for this installation, uniform over the 32-bit range.
std::uint32_t DrawForRollout();

}  // namespace solvane
