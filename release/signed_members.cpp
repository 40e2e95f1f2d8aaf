#include "release/signed_members.h"

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/untrusted_json.h"

namespace solvane {
namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's
// days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Reads `count` digits at `pos` as a number; false on anything else.
bool Digits(std::string_view text, std::size_t pos, std::size_t count, int& out) {
  out = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

// The stable release entry's sha256 for the platform, when the manifest names
// one; true when there is nothing to require.
bool StableReleaseHasDigest(const Json& root, const std::string& platform_key) {
  const Json* stable = nullptr;
  if (auto current = root.find("current"); current != root.end() && current->is_object()) {
    if (auto s = current->find("stable"); s != current->end() && s->is_object()) stable = &*s;
  }
  if (!stable) return true;
  const auto version = stable->find(platform_key);
  if (version == stable->end() || !version->is_string()) return true;
  const auto releases = root.find("releases");
  if (releases == root.end() || !releases->is_object()) return true;
  const auto by_version = releases->find(platform_key);
  if (by_version == releases->end() || !by_version->is_object()) return true;
  const auto entry = by_version->find(version->get<std::string>());
  if (entry == by_version->end() || !entry->is_object()) return true;
  const auto sha256 = entry->find("sha256");
  return sha256 != entry->end() && sha256->is_string() && IsSha256Hex(sha256->get<std::string>());
}

}  // namespace

bool IsSha256Hex(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::vector<std::string> ManifestPublisherPins(const ManifestDocument& manifest) {
  std::vector<std::string> pins;
  const auto list = manifest.kept.find("publishers");
  if (list == manifest.kept.end() || !list->is_array()) return pins;
  for (const Json& pin : *list) {
    if (pin.is_string() && IsSha256Hex(pin.get_ref<const std::string&>()) &&
        pins.size() < kMaxPublisherPins) {
      pins.push_back(pin.get<std::string>());
    }
  }
  return pins;
}

std::optional<std::int64_t> ParseUtcTime(std::string_view text) {
  // Exactly "YYYY-MM-DDTHH:MM:SSZ": no offsets, fractions or lower-case letters.
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
      !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  if (day > kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0)) return std::nullopt;
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

std::string FormatUtcTime(std::int64_t unix_seconds) {
  const std::tm t = UtcTime(unix_seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::optional<SignedMembers> CheckSignedMembers(const ManifestDocument& manifest,
                                                const std::string& platform_key,
                                                std::int64_t highest_serial, std::int64_t now,
                                                std::string& reason) {
  const Json& root = manifest.kept;
  if (!manifest.error.empty() || !root.is_object()) {
    reason = "manifest malformed";
    return std::nullopt;
  }
  SignedMembers members;
  const auto serial = root.find("serial");
  if (serial == root.end()) {
    reason = "serial missing";
    return std::nullopt;
  }
  // Whole numbers only: 5.0, "5", 0 and values past the 64-bit range are malformed.
  const std::optional<std::int64_t> serial_value = JsonInt64(*serial);
  if (!serial_value || *serial_value < 1) {
    reason = "serial malformed";
    return std::nullopt;
  }
  members.serial = *serial_value;

  const auto expires = root.find("expires");
  if (expires == root.end()) {
    reason = "expires missing";
    return std::nullopt;
  }
  const std::optional<std::int64_t> when =
      expires->is_string() ? ParseUtcTime(expires->get<std::string>()) : std::nullopt;
  if (!when) {
    reason = "expires malformed";
    return std::nullopt;
  }
  members.expires = *when;

  if (members.serial < highest_serial) {
    reason = "older than serial " + std::to_string(highest_serial);
    return std::nullopt;
  }
  if (now >= members.expires) {
    reason = "expired";
    return std::nullopt;
  }
  if (!StableReleaseHasDigest(root, platform_key)) {
    reason = "release without sha256";
    return std::nullopt;
  }
  return members;
}

std::optional<SignedMembers> CheckSignedMembers(std::string_view manifest_text,
                                                const std::string& platform_key,
                                                std::int64_t highest_serial, std::int64_t now,
                                                std::string& reason) {
  return CheckSignedMembers(ReadManifestDocument(std::string(manifest_text), platform_key),
                            platform_key, highest_serial, now, reason);
}

}  // namespace solvane
