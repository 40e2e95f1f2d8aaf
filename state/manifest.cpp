#include "state/manifest.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "state/text_bounds.h"

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
  return name == "url" || name == "sha256" || name == "notes";
}

// Parses `text` keeping only the members read: `serial` and `expires`, the
// stable version of `platform_key` and the url, digest and notes of that
// version's release entry; array elements are never kept. Every value kept
// keeps its JSON type, so the reads below fail and succeed as on the whole
// document, but a hostile manifest cannot make the parser build a large tree
// that nothing reads.
//
// A release entry is kept only when the stable version came earlier in the
// text; `releases_for` says for which version the entries were read (nullopt
// when for none); `for_version`, when given, is the version read instead.
// Throws as Json::parse.
Json ParseKept(const std::string& text, const std::string& platform_key,
               std::optional<std::string>& releases_for, const std::string* for_version = nullptr) {
  std::vector<bool> is_array;         // per open container, by depth
  std::vector<std::string> keys;      // keys[i]: member being read in the container at depth i
  std::optional<std::string> stable;  // the stable version as far as the text has come
  const auto under = [&](std::initializer_list<const char*> prefix) {
    std::size_t i = 0;
    for (const char* key : prefix) {
      if (keys[i++] != key) return false;
    }
    return true;
  };
  const auto keep_key = [&](std::size_t object, const std::string& name) {
    switch (object) {
      case 0:
        if (name == "releases") releases_for = for_version ? std::optional(*for_version) : stable;
        return name == "serial" || name == "expires" || name == "current" || name == "releases";
      case 1:
        return (under({"current"}) && name == "stable") ||
               (under({"releases"}) && name == platform_key);
      case 2:
        if (under({"current", "stable"})) return name == platform_key;
        return under({"releases"}) && keys[1] == platform_key && releases_for &&
               name == *releases_for;
      case 3:
        return under({"releases"}) && keys[1] == platform_key && releases_for &&
               keys[2] == *releases_for && IsEntryMember(name);
      default:
        return false;
    }
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
        return !in_array;
      case Json::parse_event_t::key: {
        // Dropping a member is decided here, at its key: the library's value
        // event inside an object must keep everything.
        const std::size_t object = depth - 1;
        keys[object] = parsed.get_ref<const std::string&>();
        return keep_key(object, keys[object]);
      }
      case Json::parse_event_t::value:
        if (depth == 3 && !in_array && under({"current", "stable"}) && keys[2] == platform_key) {
          stable = parsed.is_string() ? std::optional(parsed.get<std::string>()) : std::nullopt;
        }
        return !in_array;
      default:
        return true;
    }
  };
  return Json::parse(text, keep);
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

ManifestDocument ReadManifestDocument(const std::string& text, const std::string& platform_key) {
  ManifestDocument manifest;
  // The parser keeps a frame per open bracket: 16 MiB of '[' cost it more
  // than a gigabyte. Refused before parsing, like the state file.
  if (NestsDeeperThan(text, kMaxJsonNesting)) {
    manifest.error = "nested deeper than " + std::to_string(kMaxJsonNesting) + " levels";
    return manifest;
  }
  try {
    std::optional<std::string> releases_for;
    manifest.kept = ParseKept(text, platform_key, releases_for);
    // Releases listed before the stable version (or under another one, when
    // a member is repeated) were passed over: their entry is read in a
    // second pass that keeps only it.
    const Json* stable = StableVersion(manifest.kept, platform_key);
    if (stable && stable->is_string() && manifest.kept.contains("releases")) {
      const std::string version = stable->get<std::string>();
      if (releases_for != version && version.size() <= kMaxVersionBytes) {
        Json again = ParseKept(text, platform_key, releases_for, &version);
        manifest.kept["releases"] = std::move(again["releases"]);
      }
    }
  } catch (const Json::exception& exception) {
    manifest.kept = Json();
    manifest.error = exception.what();
  }
  return manifest;
}

bool ParseManifest(const ManifestDocument& manifest, const std::string& platform_key,
                   std::string& version, std::string& url, std::string& sha256, std::string& notes,
                   std::string* error) {
  if (!manifest.error.empty()) {
    if (error) *error = manifest.error;
    return false;
  }
  try {
    const Json& root = manifest.kept;
    const Json* stable = StableVersion(root, platform_key);
    if (!stable) return false;
    version = stable->get<std::string>();
    if (version.size() > kMaxVersionBytes) return false;

    const auto releases = root.find("releases");
    if (releases == root.end() || !releases->is_object() || !releases->contains(platform_key)) {
      return false;
    }
    const Json& by_version = releases->at(platform_key);
    if (!by_version.is_object() || !by_version.contains(version)) return false;
    const Json& entry = by_version.at(version);

    // Each output is written as soon as it is read, so a type error part-way
    // leaves the earlier ones filled in.
    url = entry.value("url", std::string());
    sha256 = entry.value("sha256", std::string());
    notes = entry.value("notes", std::string());
  } catch (const Json::exception& exception) {
    if (error) *error = exception.what();
    return false;
  }
  return !url.empty();
}

bool ParseManifest(const std::string& text, const std::string& platform_key, std::string& version,
                   std::string& url, std::string& sha256, std::string& notes, std::string* error) {
  return ParseManifest(ReadManifestDocument(text, platform_key), platform_key, version, url, sha256,
                       notes, error);
}

}  // namespace solvane
