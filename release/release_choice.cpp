#include "release/release_choice.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <utility>

#include "platform/untrusted_json.h"
#include "release/signed_members.h"

namespace solvane {
namespace {

using Json = nlohmann::json;

constexpr double kSecondsPerDay = 86400;
constexpr std::size_t kMaxVersionTextBytes = 64;
constexpr std::size_t kMaxLinkBytes = 2048;
constexpr std::size_t kMaxSystemVersionParts = 4;
constexpr std::size_t kMaxSystemVersionDigits = 9;

// The components of a system version, or nullopt when it is none.
std::optional<std::vector<std::uint32_t>> SystemVersionParts(std::string_view text) {
  std::vector<std::uint32_t> parts;
  std::size_t digits = 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0 || parts.size() == kMaxSystemVersionParts) return std::nullopt;
      parts.push_back(value);
      digits = 0;
      value = 0;
    } else if (text[i] >= '0' && text[i] <= '9' && digits < kMaxSystemVersionDigits) {
      // Nine digits stay below 2^32.
      value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
      ++digits;
    } else {
      return std::nullopt;
    }
  }
  return parts;
}

// A JSON number as a finite double, or nullopt.
std::optional<double> FiniteNumber(const Json& value) {
  if (!value.is_number()) return std::nullopt;
  const double number = value.get<double>();
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

// The rollout member, or the reason it is unusable.
std::string ReadRollout(const Json& value, Rollout& rollout) {
  if (!value.is_object()) return "rollout is not an object";
  const bool fixed = value.contains("percent");
  const bool growing = value.contains("start") || value.contains("days");
  if (fixed == growing) return "rollout needs either percent, or start and days";
  if (fixed) {
    const std::optional<double> percent = FiniteNumber(value.at("percent"));
    if (!percent || *percent < 0 || *percent > 100) return "rollout percent outside 0-100";
    rollout.kind = Rollout::Kind::kFixed;
    rollout.percent = *percent;
    return "";
  }
  const auto start = value.find("start");
  const std::optional<std::int64_t> time = start != value.end() && start->is_string()
                                               ? ParseUtcTime(start->get_ref<const std::string&>())
                                               : std::nullopt;
  if (!time) return "rollout start is not a UTC time";
  const auto days = value.find("days");
  const std::optional<double> length =
      days != value.end() ? FiniteNumber(*days) : std::optional<double>();
  // Past some 270 years the seconds stop being exact; no rollout is that slow.
  if (!length || *length <= 0 || *length > 100000) return "rollout days not above 0";
  rollout.kind = Rollout::Kind::kGrowing;
  rollout.start = *time;
  rollout.days = *length;
  return "";
}

// Copies each member of `entry` named in `members` that is present into its
// target. The reason when one is not of type T ("url is not a string"),
// else "".
template <typename T>
std::string CopyMembers(const Json& entry,
                        std::initializer_list<std::pair<const char*, T*>> members,
                        const char* type_text) {
  for (const auto& [key, out] : members) {
    const auto member = entry.find(key);
    if (member == entry.end()) continue;
    const bool typed = std::is_same_v<T, bool> ? member->is_boolean() : member->is_string();
    if (!typed) return std::string(key) + " is not " + type_text;
    *out = member->template get<T>();
  }
  return "";
}

// One `deltas` entry, or the reason it is unusable.
std::string ReadDelta(const Json& value, ReleaseDelta& delta) {
  if (!value.is_object()) return "a delta is not an object";
  const std::string problem = CopyMembers<std::string>(
      value, {{"from_sha256", &delta.from_sha256}, {"url", &delta.url}, {"sha256", &delta.sha256}},
      "a string");
  if (!problem.empty()) return "delta " + problem;
  if (!IsSha256Hex(delta.from_sha256) || !IsSha256Hex(delta.sha256)) {
    return "delta from_sha256 or sha256 is not a digest";
  }
  if (delta.url.empty()) return "delta has no url";
  const auto size = value.find("size");
  const std::optional<std::int64_t> bytes =
      size != value.end() ? JsonInt64(*size) : std::optional<std::int64_t>();
  if (!bytes || *bytes < 0) return "delta size is not a byte count";
  delta.size = *bytes;
  return "";
}

// The usable entries of a `deltas` member into `deltas`; the first reason an
// entry was passed over, or "". An unusable delta costs only a full download.
std::string ReadDeltas(const Json& value, std::vector<ReleaseDelta>& deltas) {
  if (!value.is_array()) return "deltas is not an array";
  std::string first_problem;
  for (const Json& item : value) {
    if (deltas.size() == kMaxReleaseDeltas)
      return "more than " + std::to_string(kMaxReleaseDeltas) + " deltas";
    ReleaseDelta delta;
    const std::string problem = ReadDelta(item, delta);
    if (problem.empty()) {
      deltas.push_back(std::move(delta));
    } else if (first_problem.empty()) {
      first_problem = problem;
    }
  }
  return first_problem;
}

}  // namespace

ListedRelease ReadReleaseEntry(const std::string& version, const Json& entry) {
  ListedRelease release;
  release.version = version;
  if (!entry.is_object()) {
    release.problem = "entry is not an object";
    return release;
  }
  release.problem = CopyMembers<std::string>(entry,
                                             {{"url", &release.url},
                                              {"sha256", &release.sha256},
                                              {"notes", &release.notes},
                                              {"channel", &release.channel},
                                              {"min_os", &release.min_os},
                                              {"informational", &release.informational},
                                              {"min_autoupdate", &release.min_autoupdate},
                                              {"rollback_to", &release.rollback_to}},
                                             "a string");
  if (!release.problem.empty()) return release;
  if (release.channel == "stable") release.channel.clear();
  if (!release.channel.empty() && !IsChannelName(release.channel)) {
    release.problem = "channel is not a channel name";
    return release;
  }
  release.problem = CopyMembers<bool>(
      entry, {{"withdrawn", &release.withdrawn}, {"critical", &release.critical}}, "true or false");
  if (!release.problem.empty()) return release;
  if (const auto rollout = entry.find("rollout"); rollout != entry.end()) {
    release.problem = ReadRollout(*rollout, release.rollout);
    if (!release.problem.empty()) return release;
  }
  if (const auto size = entry.find("size"); size != entry.end()) {
    const std::optional<std::int64_t> bytes = JsonInt64(*size);
    if (!bytes || *bytes < 0) {
      release.problem = "size is not a byte count";
      return release;
    }
    release.size = *bytes;
  }
  if (!release.min_os.empty() && !IsSystemVersion(release.min_os)) {
    release.problem = "min_os is not a system version";
    return release;
  }
  // The scheme is the query's to judge; the shape is the entry's.
  if (!release.informational.empty() && !IsLinkUrl(release.informational, "https") &&
      !IsLinkUrl(release.informational, "http")) {
    release.problem = "informational is not a link";
    return release;
  }
  if (!release.min_autoupdate.empty() &&
      (release.min_autoupdate.size() > kMaxVersionTextBytes ||
       ReadVersion(release.min_autoupdate).components_read == 0)) {
    release.problem = "min_autoupdate is not a version";
    return release;
  }
  if (!release.rollback_to.empty() && (release.rollback_to.size() > kMaxVersionTextBytes ||
                                       ReadVersion(release.rollback_to).components_read == 0)) {
    release.problem = "rollback_to is not a version";
    return release;
  }
  if (release.url.empty()) release.problem = "no url";
  if (const auto deltas = entry.find("deltas"); deltas != entry.end()) {
    release.delta_problem = ReadDeltas(*deltas, release.deltas);
  }
  return release;
}

namespace {

std::string ShareText(double percent) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g%%", percent);
  return text;
}

// Why `release` is not for this client, or "" when it is.
std::string Exclusion(const ListedRelease& release, const ReleaseQuery& query) {
  if (!query.version_prefix.empty() && !release.version.starts_with(query.version_prefix)) {
    return release.version + " outside TargetVersionPrefix " + query.version_prefix;
  }
  if (release.withdrawn) return release.version + " withdrawn";
  if (!release.problem.empty()) return release.version + " unusable: " + release.problem;
  if (query.require_sha256 && !IsSha256Hex(release.sha256)) {
    return release.version + " unusable: no sha256";
  }
  // Without it nothing bounds what the download may write.
  if (query.require_size && release.size <= 0) return release.version + " unusable: no size";
  if (!release.informational.empty() && !IsLinkUrl(release.informational, query.link_scheme) &&
      !IsLinkUrl(release.informational, "https")) {
    return release.version + " unusable: informational is not https";
  }
  if (!release.min_os.empty() && CompareSystemVersions(query.system.version, release.min_os) < 0) {
    return release.version + " needs " + query.system.name + " " + release.min_os + "; this is " +
           (query.system.version.empty() ? "unknown" : query.system.version);
  }
  if (release.critical) return "";
  const double share = RolloutShare(release.rollout, query.now);
  if (!DrawCovered(query.draw, share)) {
    return "outside the rollout of " + release.version + " (" + ShareText(share) + ")";
  }
  return "";
}

// True when the release is for the user to fetch rather than the updater.
bool Announced(const ListedRelease& release, const ReleaseQuery& query) {
  return !release.informational.empty() ||
         (query.installed && !release.min_autoupdate.empty() &&
          CompareVersions(*query.installed, release.min_autoupdate) < 0);
}

}  // namespace

bool IsSystemVersion(std::string_view text) { return SystemVersionParts(text).has_value(); }

int CompareSystemVersions(std::string_view a, std::string_view b) {
  const std::vector<std::uint32_t> left =
      SystemVersionParts(a).value_or(std::vector<std::uint32_t>{});
  const std::vector<std::uint32_t> right =
      SystemVersionParts(b).value_or(std::vector<std::uint32_t>{});
  for (std::size_t i = 0; i < kMaxSystemVersionParts; ++i) {
    const std::uint32_t x = i < left.size() ? left[i] : 0;
    const std::uint32_t y = i < right.size() ? right[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool IsLinkUrl(std::string_view url, std::string_view scheme) {
  if (url.size() > kMaxLinkBytes || scheme.empty()) return false;
  const std::size_t prefix = scheme.size() + 3;
  if (url.size() <= prefix || url.substr(scheme.size(), 3) != "://") return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
  }
  return std::all_of(url.begin(), url.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::string DownloadPage(const ManifestDocument& manifest) {
  const Json& root = manifest.kept;
  if (!root.is_object()) return "";
  const auto page = root.find("download_page");
  return page != root.end() && page->is_string() ? page->get<std::string>() : "";
}

bool IsChannelName(std::string_view name) {
  // Not led by '-': "--force" after --channel is the option, not a name.
  if (name.empty() || name.size() > 32 || name.front() == '-') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
}

std::vector<ListedRelease> ListReleases(const ManifestDocument& manifest,
                                        const std::string& platform_key) {
  std::vector<ListedRelease> releases;
  const Json& root = manifest.kept;
  if (!root.is_object()) return releases;
  const auto all = root.find("releases");
  if (all == root.end() || !all->is_object()) return releases;
  const auto platform = all->find(platform_key);
  if (platform == all->end() || !platform->is_object()) return releases;
  for (const auto& [version, entry] : platform->items()) {
    releases.push_back(ReadReleaseEntry(version, entry));
  }
  return releases;
}

std::optional<std::string> CurrentVersion(const ManifestDocument& manifest,
                                          const std::string& platform_key,
                                          const std::string& channel) {
  const Json& root = manifest.kept;
  if (!root.is_object()) return std::nullopt;
  const auto current = root.find("current");
  if (current == root.end() || !current->is_object()) return std::nullopt;
  const auto list = current->find(channel);
  if (list == current->end() || !list->is_object()) return std::nullopt;
  const auto version = list->find(platform_key);
  if (version == list->end() || !version->is_string()) return std::nullopt;
  return version->get<std::string>();
}

double RolloutShare(const Rollout& rollout, std::int64_t now) {
  switch (rollout.kind) {
    case Rollout::Kind::kEveryone:
      return 100;
    case Rollout::Kind::kFixed:
      return rollout.percent;
    case Rollout::Kind::kGrowing:
      break;
  }
  if (now <= rollout.start) return 0;
  // In double from here: a start far in the past cannot overflow.
  const double elapsed = static_cast<double>(now) - static_cast<double>(rollout.start);
  return std::min(100.0, elapsed / (rollout.days * kSecondsPerDay) * 100.0);
}

bool DrawCovered(std::uint32_t draw, double percent) {
  if (!(percent > 0)) return false;
  // 2^32 * percent / 100 is exact enough: a share one draw apart is 2.3e-8 %.
  return static_cast<double>(draw) < percent / 100.0 * 4294967296.0;
}

std::optional<ListedRelease> FindRelease(const std::vector<ListedRelease>& releases,
                                         const std::string& version) {
  for (const ListedRelease& release : releases) {
    if (release.version == version) return release;
  }
  return std::nullopt;
}

namespace {

// ChooseRelease but for the vendor's rollback_to.
ReleaseChoice ChooseForward(const ManifestDocument& manifest, const ReleaseQuery& query) {
  ReleaseChoice choice;
  StableEntry stable_entry = ReadStableEntry(manifest, query.platform_key);
  if (!stable_entry.error.empty()) {
    choice.outcome = ReleaseChoice::Outcome::kUnusable;
    choice.error = std::move(stable_entry.error);
    return choice;
  }
  const std::vector<ListedRelease> releases = ListReleases(manifest, query.platform_key);
  const std::optional<std::string> stable = std::move(stable_entry.version);
  std::optional<std::string> target = stable;
  if (!query.channel.empty() && query.channel != "stable") {
    const std::optional<std::string> channel =
        CurrentVersion(manifest, query.platform_key, query.channel);
    if (!channel) {
      choice.notices.push_back("channel " + query.channel + " not in the manifest; stable only");
    } else if (const std::optional<ListedRelease> entry = FindRelease(releases, *channel);
               !entry || entry->url.empty()) {
      choice.notices.push_back("channel " + query.channel + " names " + *channel +
                               " without a release entry; stable only");
    } else if (!stable || CompareVersions(*channel, *stable) > 0) {
      target = channel;
    }
  }
  if (!target) return choice;
  const std::optional<ListedRelease> current = FindRelease(releases, *target);
  // As ever, `current` naming no entry with a url offers nothing.
  if (!current || current->url.empty()) return choice;
  std::string download_page = DownloadPage(manifest);
  if (!download_page.empty() && !IsLinkUrl(download_page, query.link_scheme) &&
      !IsLinkUrl(download_page, "https")) {
    choice.notices.push_back("download_page is not an https link; left out");
    download_page.clear();
  }
  const auto announce = [&](const ListedRelease& release) {
    if (choice.available && CompareVersions(release.version, choice.available->version) <= 0) {
      return;
    }
    choice.available =
        AvailableRelease{release.version, release.notes,
                         release.informational.empty() ? download_page : release.informational};
  };
  std::optional<std::string> lowest_need;
  const auto note_need = [&](const ListedRelease& release) {
    if (release.problem.empty() && !release.min_os.empty() &&
        CompareSystemVersions(query.system.version, release.min_os) < 0 &&
        (!lowest_need || CompareSystemVersions(release.min_os, *lowest_need) < 0)) {
      lowest_need = release.min_os;
    }
  };
  choice.passed_over = Exclusion(*current, query);
  if (choice.passed_over.empty()) {
    if (!Announced(*current, query)) {
      choice.outcome = ReleaseChoice::Outcome::kFound;
      choice.release = *current;
      return choice;
    }
    announce(*current);
  }
  note_need(*current);
  choice.outcome = ReleaseChoice::Outcome::kHeldBack;

  // Passed over: the newest earlier release that this client may have, so
  // that an installation too old for the current one still moves forward,
  // or, rolling back, one outside the prefix moves back into it.
  const bool roll_back = query.roll_back_to_prefix && !query.version_prefix.empty() &&
                         query.installed && !query.installed->starts_with(query.version_prefix);
  for (const ListedRelease& release : releases) {
    if (CompareVersions(release.version, *target) >= 0) continue;
    if (query.installed && !roll_back && CompareVersions(release.version, *query.installed) <= 0) {
      continue;
    }
    const bool in_channel = release.channel.empty() || release.channel == query.channel ||
                            (stable && release.version == *stable);
    if (!in_channel) continue;
    const std::string why = Exclusion(release, query);
    if (!why.empty()) {
      if (!release.problem.empty()) choice.notices.push_back("release " + why);
      note_need(release);
      continue;
    }
    if (Announced(release, query)) {
      announce(release);
      continue;
    }
    if (!choice.found() || CompareVersions(release.version, choice.release.version) > 0) {
      choice.outcome = ReleaseChoice::Outcome::kFound;
      choice.release = release;
    }
  }
  if (choice.found() && choice.available &&
      CompareVersions(choice.available->version, choice.release.version) <= 0) {
    choice.available.reset();
  }
  if (!choice.found() && lowest_need) {
    choice.needs_system = query.system.name + " " + *lowest_need;
  }
  choice.downgrade =
      roll_back && choice.found() && CompareVersions(choice.release.version, *query.installed) < 0;
  return choice;
}

}  // namespace

ReleaseChoice ChooseRelease(const ManifestDocument& manifest, const ReleaseQuery& query) {
  ReleaseChoice choice = ChooseForward(manifest, query);
  if (choice.outcome == ReleaseChoice::Outcome::kUnusable || !query.installed) return choice;
  if (choice.found() && CompareVersions(choice.release.version, *query.installed) > 0) {
    return choice;
  }
  const std::vector<ListedRelease> releases = ListReleases(manifest, query.platform_key);
  const std::optional<ListedRelease> installed = FindRelease(releases, *query.installed);
  if (!installed || !installed->withdrawn || installed->rollback_to.empty()) return choice;
  const std::optional<ListedRelease> target = FindRelease(releases, installed->rollback_to);
  std::string why = !target ? installed->rollback_to + " not listed" : "";
  if (target && CompareVersions(target->version, installed->version) >= 0) {
    why = installed->rollback_to + " is not older";
  }
  if (why.empty()) {
    // Everyone on the withdrawn release goes back, whatever its rollout was.
    ListedRelease everyone = *target;
    everyone.rollout = Rollout{};
    why = Exclusion(everyone, query);
  }
  if (!why.empty()) {
    choice.notices.push_back("installed " + installed->version + " withdrawn; its rollback_to " +
                             installed->rollback_to + " not offered: " + why);
    return choice;
  }
  choice.notices.push_back("installed " + installed->version + " withdrawn; offering " +
                           target->version);
  choice.outcome = ReleaseChoice::Outcome::kFound;
  choice.release = *target;
  choice.downgrade = true;
  // As on the way forward, only what is newer than the choice is announced.
  if (choice.available && CompareVersions(choice.available->version, target->version) <= 0) {
    choice.available.reset();
  }
  return choice;
}

std::uint32_t DrawForRollout() {
  // The library picks its generator on first use; sodium_init makes that
  // safe, and its failure leaves randombytes usable all the same.
  if (sodium_init() < 0) {
    // Not fatal: randombytes still works; init only picks the implementation.
  }
  std::uint32_t draw = 0;
  randombytes_buf(&draw, sizeof draw);
  return draw;
}

}  // namespace solvane
