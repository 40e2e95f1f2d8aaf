#include "state/manifest.h"

#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

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
                   std::string& url, std::string& sha256, std::string& notes) {
  // The parser keeps a frame per open bracket: 16 MiB of '[' cost it more
  // than a gigabyte. Refused before parsing, like the state file.
  if (NestsDeeperThan(text, kMaxJsonNesting)) {
    std::fprintf(stderr, "SolvaneSetup: manifest parse error -- nested deeper than %d levels\n",
                 kMaxJsonNesting);
    return false;
  }
  try {
    const Json root = Json::parse(text);
    if (!root.is_object() || !root.contains("current")) return false;
    const Json& current = root.at("current");
    if (!current.is_object() || !current.contains("stable")) return false;
    const Json& stable = current.at("stable");
    if (!stable.is_object() || !stable.contains(platform_key)) return false;
    version = stable.at(platform_key).get<std::string>();
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
  } catch (const Json::exception& error) {
    std::fprintf(stderr, "SolvaneSetup: manifest parse error -- %s\n", error.what());
    return false;
  }
  return !url.empty();
}

}  // namespace solvane
