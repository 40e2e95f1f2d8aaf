#include "state/manifest.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
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

// Parses `text` keeping only the object members along `path` and, in the
// object at its end, the members named in `last`; array elements are never
// kept. Every value on the path keeps its JSON type, so the reads below fail
// and succeed as on the whole document, but a hostile manifest cannot make
// the parser build a large tree that nothing reads. Throws as Json::parse.
Json ParseOnly(const std::string& text, const std::vector<std::string>& path,
               const std::vector<std::string>& last) {
  std::vector<bool> is_array;     // per open container, by depth
  std::vector<std::string> keys;  // keys[i]: member being read in the container at depth i
  const auto on_path = [&](std::size_t depth) {
    for (std::size_t i = 0; i < depth; ++i) {
      if (keys[i] != path[i]) return false;
    }
    return true;
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
        return !in_array;
      case Json::parse_event_t::key: {
        // Dropping a member is decided here, at its key: the library's value
        // event inside an object must keep everything.
        const std::size_t object = depth - 1;
        const std::string& name = parsed.get_ref<const std::string&>();
        keys[object] = name;
        if (object < path.size()) return name == path[object] && on_path(object);
        if (object == path.size()) {
          return std::find(last.begin(), last.end(), name) != last.end() && on_path(object);
        }
        return false;
      }
      case Json::parse_event_t::value:
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

bool ParseManifest(const std::string& text, const std::string& platform_key, std::string& version,
                   std::string& url, std::string& sha256, std::string& notes, std::string* error) {
  // The parser keeps a frame per open bracket: 16 MiB of '[' cost it more
  // than a gigabyte. Refused before parsing, like the state file.
  if (NestsDeeperThan(text, kMaxJsonNesting)) {
    if (error) *error = "nested deeper than " + std::to_string(kMaxJsonNesting) + " levels";
    return false;
  }
  try {
    // Two passes, each keeping one branch: the stable version, then its
    // release entry (which may come first in the text).
    const Json root = ParseOnly(text, {"current", "stable", platform_key}, {});
    if (!root.is_object() || !root.contains("current")) return false;
    const Json& current = root.at("current");
    if (!current.is_object() || !current.contains("stable")) return false;
    const Json& stable = current.at("stable");
    if (!stable.is_object() || !stable.contains(platform_key)) return false;
    version = stable.at(platform_key).get<std::string>();
    if (version.size() > kMaxVersionBytes) return false;

    const Json release_root =
        ParseOnly(text, {"releases", platform_key, version}, {"url", "sha256", "notes"});
    const auto releases = release_root.find("releases");
    if (releases == release_root.end() || !releases->is_object() ||
        !releases->contains(platform_key)) {
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

}  // namespace solvane
