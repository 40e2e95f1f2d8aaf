#include "release/manifest.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/untrusted_json.h"

namespace solvane {
namespace {

using Json = nlohmann::json;

// Longer version texts count as no release: a real one is a few bytes, and
// the version reaches log lines and the state file.
constexpr std::size_t kMaxVersionBytes = 64;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One "%d" conversion: white space, an optional sign, at least one digit.
// Saturates instead of overflowing. Returns false when no digit follows.
bool ReadComponent(const std::string& text, std::size_t& pos, std::int32_t& out) {
  std::size_t i = pos;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !IsDigit(text[i])) return false;

  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  std::int64_t magnitude = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    if (magnitude <= kMax + 1) magnitude = magnitude * 10 + (text[i] - '0');
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  out = static_cast<std::int32_t>(value > kMax ? kMax : value < kMin ? kMin : value);
  pos = i;
  return true;
}

// The stable version's value for `platform_key` in a parsed manifest, or
// nullptr when a member on the way is missing or not an object.
const Json* StableVersion(const Json& root, const std::string& platform_key) {
  if (!root.is_object()) return nullptr;
  const auto current = root.find("current");
  if (current == root.end() || !current->is_object()) return nullptr;
  const auto stable = current->find("stable");
  if (stable == current->end() || !stable->is_object()) return nullptr;
  const auto version = stable->find(platform_key);
  return version == stable->end() ? nullptr : &*version;
}

// The members of the release entries that are read.
bool IsEntryMember(const std::string& name) {
  return name == "url" || name == "sha256" || name == "notes" || name == "rollout" ||
         name == "withdrawn" || name == "critical" || name == "channel" || name == "deltas" ||
         name == "size" || name == "min_os" || name == "informational" ||
         name == "min_autoupdate" || name == "rollback_to";
}

bool IsDeltaMember(const std::string& name) {
  return name == "from_sha256" || name == "url" || name == "sha256" || name == "size";
}

bool IsRolloutMember(const std::string& name) {
  return name == "percent" || name == "start" || name == "days";
}

// What one pass keeps beside `serial` and `expires`.
struct KeptScope {
  const std::string& platform_key;
  const std::string& channel;              // "" for none
  const std::vector<std::string>* wanted;  // versions whose entries are kept past the cap
};

// Parses `text` keeping only the members read: `serial` and `expires`, the
// version of `platform_key` under `current`'s `stable` and the named channel,
// and the read members of that platform's release entries; array elements
// are never kept but the first kMaxReleaseDeltas + 1 objects of an entry's
// `deltas`. Every value kept keeps its JSON type, so the reads fail
// and succeed as on the whole document, but a hostile manifest cannot make
// the parser build a large tree that nothing reads.
//
// Release entries are kept up to kMaxListedReleases, and past that only for
// the versions the current members named earlier in the text, or for the
// versions in `scope.wanted` when given. Throws as Json::parse.
Json ParseKept(const std::string& text, const KeptScope& scope) {
  std::vector<bool> is_array;      // per open container, by depth
  std::vector<std::string> keys;   // keys[i]: member being read in the container at depth i
  std::vector<std::string> named;  // the current versions as far as the text has come
  std::size_t listed = 0;          // release entries kept so far
  bool entry_kept = false;         // the release entry being read is kept
  std::size_t deltas = 0;          // elements of the entry's `deltas` kept so far
  std::size_t pins = 0;            // elements of `publishers` kept so far
  const auto under = [&](std::initializer_list<const char*> prefix) {
    std::size_t i = 0;
    for (const char* key : prefix) {
      if (keys[i++] != key) return false;
    }
    return true;
  };
  const auto is_current_list = [&](const std::string& name) {
    return name == "stable" || (!scope.channel.empty() && name == scope.channel);
  };
  const auto keep_entry = [&](const std::string& version) {
    if (version.size() > kMaxVersionBytes) return false;
    const std::vector<std::string>& favoured = scope.wanted ? *scope.wanted : named;
    if (std::find(favoured.begin(), favoured.end(), version) != favoured.end()) return true;
    if (scope.wanted || listed >= kMaxListedReleases) return false;
    ++listed;
    return true;
  };
  const auto keep_key = [&](std::size_t object, const std::string& name) {
    switch (object) {
      case 0:
        return name == "serial" || name == "expires" || name == "current" || name == "releases" ||
               name == "download_page" || name == "publishers";
      case 1:
        return (under({"current"}) && is_current_list(name)) ||
               (under({"releases"}) && name == scope.platform_key);
      case 2:
        if (keys[0] == "current") return name == scope.platform_key;
        entry_kept = under({"releases"}) && keys[1] == scope.platform_key && keep_entry(name);
        return entry_kept;
      case 3:
        return under({"releases"}) && keys[1] == scope.platform_key && entry_kept &&
               IsEntryMember(name);
      case 4:
        return under({"releases"}) && keys[1] == scope.platform_key && entry_kept &&
               keys[3] == "rollout" && IsRolloutMember(name);
      case 5:
        return under({"releases"}) && keys[1] == scope.platform_key && entry_kept &&
               keys[3] == "deltas" && IsDeltaMember(name);
      default:
        return false;
    }
  };
  // An object element of a kept entry's `deltas`, within the cap.
  const auto keep_delta = [&](std::size_t depth) {
    if (depth != 5 || keys[0] != "releases" || keys[1] != scope.platform_key || !entry_kept ||
        keys[3] != "deltas") {
      return false;
    }
    return ++deltas <= kMaxReleaseDeltas + 1;
  };
  const Json::parser_callback_t keep = [&](int signed_depth, Json::parse_event_t event,
                                           Json& parsed) {
    const auto depth = static_cast<std::size_t>(signed_depth);
    const bool in_array = depth > 0 && is_array[depth - 1];
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        is_array.resize(depth + 1);
        keys.resize(depth + 1);
        is_array[depth] = event == Json::parse_event_t::array_start;
        keys[depth].clear();  // an array's elements have no key
        if (depth == 4 && is_array[depth]) deltas = 0;
        return !in_array || (event == Json::parse_event_t::object_start && keep_delta(depth));
      case Json::parse_event_t::key: {
        // Dropping a member is decided here, at its key: the library's value
        // event inside an object must keep everything.
        const std::size_t object = depth - 1;
        keys[object] = parsed.get_ref<const std::string&>();
        return keep_key(object, keys[object]);
      }
      case Json::parse_event_t::value:
        if (depth == 2 && in_array && keys[0] == "publishers") {
          return parsed.is_string() && ++pins <= kMaxPublisherPins;
        }
        if (depth == 3 && !in_array && keys[0] == "current" && is_current_list(keys[1]) &&
            keys[2] == scope.platform_key && parsed.is_string()) {
          named.push_back(parsed.get<std::string>());
        }
        return !in_array;
      default:
        return true;
    }
  };
  return Json::parse(text, keep);
}

// The string versions `current` names for the platform in a kept document.
std::vector<std::string> NamedVersions(const Json& kept, const std::string& platform_key,
                                       const std::string& channel) {
  std::vector<std::string> versions;
  const auto current = kept.find("current");
  if (current == kept.end() || !current->is_object()) return versions;
  for (const auto& [name, list] : current->items()) {
    if (name != "stable" && name != channel) continue;
    if (!list.is_object()) continue;
    const auto version = list.find(platform_key);
    if (version != list.end() && version->is_string() &&
        version->get_ref<const std::string&>().size() <= kMaxVersionBytes) {
      versions.push_back(version->get<std::string>());
    }
  }
  return versions;
}

}  // namespace

VersionNumber ReadVersion(const std::string& text) {
  VersionNumber version;
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') break;
      ++pos;
    }
    if (!ReadComponent(text, pos, version.parts[i])) break;
    version.components_read = i + 1;
  }
  return version;
}

int CompareVersions(const std::string& a, const std::string& b) {
  const VersionNumber va = ReadVersion(a);
  const VersionNumber vb = ReadVersion(b);
  for (int i = 0; i < 3; ++i) {
    if (va.parts[i] != vb.parts[i]) return va.parts[i] > vb.parts[i] ? 1 : -1;
  }
  return 0;
}

ManifestDocument ReadManifestDocument(const std::string& text, const std::string& platform_key,
                                      const std::string& channel,
                                      const std::vector<std::string>& held) {
  ManifestDocument manifest;
  // The parser keeps a frame per open bracket: 16 MiB of '[' cost it more
  // than a gigabyte. Refused before parsing, like the state file.
  if (NestsDeeperThan(text, kMaxJsonNesting)) {
    manifest.error = "nested deeper than " + std::to_string(kMaxJsonNesting) + " levels";
    return manifest;
  }
  try {
    manifest.kept = ParseKept(text, {platform_key, channel, nullptr});
    // Entries passed over for the cap before `current` named them, and
    // those of the held versions, are read in a second pass that keeps only them.
    std::vector<std::string> named = NamedVersions(manifest.kept, platform_key, channel);
    for (const std::string& version : held) {
      if (version.size() <= kMaxVersionBytes) named.push_back(version);
    }
    const auto releases = manifest.kept.find("releases");
    if (releases != manifest.kept.end() && releases->is_object() &&
        releases->contains(platform_key) && releases->at(platform_key).is_object()) {
      Json& listed = releases->at(platform_key);
      std::vector<std::string> missing;
      for (const std::string& version : named) {
        if (!listed.contains(version)) missing.push_back(version);
      }
      if (!missing.empty()) {
        Json again = ParseKept(text, {platform_key, channel, &missing});
        for (auto& [version, entry] : again["releases"][platform_key].items()) {
          listed[version] = std::move(entry);
        }
      }
    }
  } catch (const Json::exception& exception) {
    manifest.kept = Json();
    manifest.error = exception.what();
  }
  return manifest;
}

StableEntry ReadStableEntry(const ManifestDocument& manifest, const std::string& platform_key) {
  StableEntry stable;
  if (!manifest.error.empty()) {
    stable.error = manifest.error;
    return stable;
  }
  try {
    const Json& root = manifest.kept;
    const Json* version = StableVersion(root, platform_key);
    if (!version) return stable;
    stable.version = version->get<std::string>();
    if (stable.version->size() > kMaxVersionBytes) return stable;

    const auto releases = root.find("releases");
    if (releases == root.end() || !releases->is_object() || !releases->contains(platform_key)) {
      return stable;
    }
    const Json& by_version = releases->at(platform_key);
    if (!by_version.is_object() || !by_version.contains(*stable.version)) return stable;
    const Json& entry = by_version.at(*stable.version);

    // In this order, each kept as soon as it is read.
    stable.url = entry.value("url", std::string());
    stable.sha256 = entry.value("sha256", std::string());
    stable.notes = entry.value("notes", std::string());
  } catch (const Json::exception& exception) {
    stable.error = exception.what();
  }
  return stable;
}

bool ParseManifest(const ManifestDocument& manifest, const std::string& platform_key,
                   std::string& version, std::string& url, std::string& sha256, std::string& notes,
                   std::string* error) {
  StableEntry stable = ReadStableEntry(manifest, platform_key);
  const bool found = stable.error.empty() && stable.url && !stable.url->empty();
  const auto write = [](std::optional<std::string>& read, std::string& out) {
    if (read) out = std::move(*read);
  };
  write(stable.version, version);
  write(stable.url, url);
  write(stable.sha256, sha256);
  write(stable.notes, notes);
  if (!stable.error.empty() && error) *error = stable.error;
  return found;
}

bool ParseManifest(const std::string& text, const std::string& platform_key, std::string& version,
                   std::string& url, std::string& sha256, std::string& notes, std::string* error) {
  return ParseManifest(ReadManifestDocument(text, platform_key), platform_key, version, url, sha256,
                       notes, error);
}

}  // namespace solvane
