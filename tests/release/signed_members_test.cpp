#include "release/signed_members.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace solvane {
namespace {

using Json = nlohmann::json;

constexpr std::int64_t kNow = 1796700000;  // 2026-12-08
const std::string kDigest(64, 'a');

std::string Manifest(const Json& serial, const Json& expires, const Json& sha256 = kDigest) {
  Json m = {{"current", {{"stable", {{"windows-x64", "1.5.0"}}}}},
            {"releases", {{"windows-x64", {{"1.5.0", {{"url", "https://x/a.exe"}}}}}}}};
  if (!sha256.is_null()) m["releases"]["windows-x64"]["1.5.0"]["sha256"] = sha256;
  if (!serial.is_null()) m["serial"] = serial;
  if (!expires.is_null()) m["expires"] = expires;
  return m.dump();
}

TEST(SignedMembers, UtcTimesAreExactAndChecked) {
  EXPECT_EQ(ParseUtcTime("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(ParseUtcTime("2027-03-01T00:00:00Z"), 1803859200);
  EXPECT_EQ(ParseUtcTime("2028-02-29T23:59:59Z"), 1835481599);
  for (const char* bad :
       {"2027-02-29T00:00:00Z", "2027-13-01T00:00:00Z", "2027-03-01T24:00:00Z",
        "2027-03-01T00:00:60Z", "2027-03-01 00:00:00Z", "2027-03-01T00:00:00",
        "2027-03-01T00:00:00z", "2027-03-01T00:00:00+00:00", "2027-3-01T00:00:00Z",
        "+027-03-01T00:00:00Z", "", "2027-00-10T00:00:00Z"}) {
    EXPECT_FALSE(ParseUtcTime(bad)) << bad;
  }
  EXPECT_EQ(FormatUtcTime(1803859200), "2027-03-01T00:00:00Z");
  EXPECT_EQ(ParseUtcTime(FormatUtcTime(kNow)), kNow);
}

TEST(SignedMembers, EachRuleRefusesWithItsReason) {
  const std::string later = "2027-03-01T00:00:00Z";
  const struct {
    std::string text;
    std::int64_t highest;
    const char* reason;  // nullptr: accepted
  } rows[] = {
      {Manifest(5, later), 0, nullptr},
      {Manifest(5, later), 5, nullptr},
      {Manifest(5, later), 6, "older than serial 6"},
      {Manifest(nullptr, later), 0, "serial missing"},
      {Manifest(0, later), 0, "serial malformed"},
      {Manifest(-3, later), 0, "serial malformed"},
      {Manifest(5.0, later), 0, "serial malformed"},
      {Manifest("5", later), 0, "serial malformed"},
      {Manifest(Json(18446744073709551615ull), later), 0, "serial malformed"},
      {Manifest(5, nullptr), 0, "expires missing"},
      {Manifest(5, 1803859200), 0, "expires malformed"},
      {Manifest(5, "2027-03-01"), 0, "expires malformed"},
      {Manifest(5, "2026-12-08T00:00:00Z"), 0, "expired"},
      {Manifest(5, FormatUtcTime(kNow)), 0, "expired"},
      {Manifest(5, FormatUtcTime(kNow + 1)), 0, nullptr},
      {Manifest(5, later, nullptr), 0, "release without sha256"},
      {Manifest(5, later, ""), 0, "release without sha256"},
      {Manifest(5, later, std::string(64, 'A')), 0, "release without sha256"},
      {Manifest(5, later, std::string(63, 'a')), 0, "release without sha256"},
      {"[1]", 0, "manifest malformed"},
      {"{", 0, "manifest malformed"},
  };
  for (const auto& row : rows) {
    std::string reason;
    const std::optional<SignedMembers> members =
        CheckSignedMembers(row.text, "windows-x64", row.highest, kNow, reason);
    if (row.reason) {
      EXPECT_FALSE(members) << row.text;
      EXPECT_EQ(reason, row.reason) << row.text;
    } else {
      ASSERT_TRUE(members) << row.text << " " << reason;
      EXPECT_EQ(members->serial, 5);
    }
  }
  // Another platform's entry without a digest is not this build's concern.
  std::string reason;
  EXPECT_TRUE(CheckSignedMembers(Manifest(5, later, nullptr), "linux-x64", 0, kNow, reason));
}

// Only well-formed pins count, a bounded few, through the manifest's reading.
TEST(ManifestPublisherPins, KeepsWellFormedPinsThroughTheReading) {
  Json m = Json::parse(Manifest(1, "2099-01-01T00:00:00Z"));
  m["publishers"] = {kDigest, "short", 5, std::string(64, 'A'), {{"pin", kDigest}}};
  EXPECT_EQ(ManifestPublisherPins(ReadManifestDocument(m.dump(), "windows-x64")).size(), 1u);
  m["publishers"] = std::vector<std::string>(40, kDigest);
  EXPECT_EQ(ManifestPublisherPins(ReadManifestDocument(m.dump(), "windows-x64")).size(),
            kMaxPublisherPins);
}

}  // namespace
}  // namespace solvane
