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

#include "platform/system_version.h"
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
  std::string min_os;          // the lowest system version it runs on; "" for any
  std::string informational;   // not "": announced at this URL, never installed by the updater
  std::string min_autoupdate;  // installations older than this are not updated to it
  // Withdrawn releases only: the earlier release installations of this one
  // are taken back to; "" for none.
  std::string rollback_to;
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

// True for dotted numbers ("10.0.17763", "2.36"): 1 to 4 components of 1 to
// 9 digits each.
[[nodiscard]] bool IsSystemVersion(std::string_view text);

// Compares dotted system versions component by component, missing ones 0;
// text that is no system version counts as 0.
int CompareSystemVersions(std::string_view a, std::string_view b);

// True for a link a release may point users to: `scheme`://... (the caller
// passes "https" or its own release scheme), at most 2 KiB of printable ASCII.
[[nodiscard]] bool IsLinkUrl(std::string_view url, std::string_view scheme);

// The manifest's top-level `download_page` when it is a string, else "".
std::string DownloadPage(const ManifestDocument& manifest);

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
  SystemVersion system = {};    // releases whose min_os is above it are passed over
  // Links to announced releases are https, or of this scheme (the release
  // base URL's, which a test build serves over http).
  std::string link_scheme = "https";
  // The administrator's TargetVersionPrefix: only versions that start with
  // it are offered; "" for any.
  std::string version_prefix = {};
  // The administrator's RollbackToTarget: an installed version outside the
  // prefix and newer than every release in it is taken back to the newest.
  bool roll_back_to_prefix = false;
};

// A release this installation may not update to by itself, announced for
// the user to fetch: an informational release, or one whose min_autoupdate
// is above the installed version.
struct AvailableRelease {
  std::string version;
  std::string notes;
  std::string url;  // the entry's `informational`, else the manifest's download_page; may be ""
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
  // The newest release announced but not offered, when newer than `release`
  // (or when nothing is found).
  std::optional<AvailableRelease> available;
  // When nothing was found and a release was passed over for its min_os: the
  // lowest such, with the system's name ("Windows 10.0.19041").
  std::string needs_system;
  // The found release is older than the installed one: a rollback the
  // vendor's rollback_to or the administrator's policies ordered.
  bool downgrade = false;

  [[nodiscard]] bool found() const { return outcome == Outcome::kFound; }
};

// The release for the query: the newer of the stable and the channel's
// current version when the client may have it; when it is withdrawn,
// unusable or its rollout does not reach the draw, the newest listed
// release of the client's channels that reaches it, is usable and is newer
// than what is installed. Releases above the system's version are passed
// over; informational ones, and those whose min_autoupdate the installed
// version is below, are `available` instead. Nothing when `current` names no entry with a url.
// The stable release is read strictly first (ReadStableEntry): a document
// that could not be read, or a stable version or entry member of the wrong
// type, makes the whole manifest unusable, whatever a channel names.
// A version prefix passes over every release outside it. When nothing newer
// than the installed version is found, and the installed release is
// withdrawn with a rollback_to that suits, that release is found instead, as
// a downgrade; so is the prefix's newest release when the query rolls back.
ReleaseChoice ChooseRelease(const ManifestDocument& manifest, const ReleaseQuery& query);

// The listed entry of `version`, if any.
std::optional<ListedRelease> FindRelease(const std::vector<ListedRelease>& releases,
                                         const std::string& version);

// A fresh draw for this installation, uniform over the 32-bit range.
std::uint32_t DrawForRollout();

}  // namespace solvane
