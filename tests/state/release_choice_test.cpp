#include "state/release_choice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "state/records.h"
#include "state/signed_members.h"

namespace solvane {
namespace {

using Json = nlohmann::json;

constexpr const char* kPlatform = "windows-x64";
constexpr std::uint32_t kTenth = 429496729;  // floor(2^32 / 10)

TEST(Rollout, ShareOverTimeAndTheDrawsItCovers) {
  const std::int64_t start = *ParseUtcTime("2026-01-01T00:00:00Z");
  const Rollout growing{Rollout::Kind::kGrowing, 0, start, 4};
  const struct {
    std::int64_t now;
    double share;
  } times[] = {{start - 86400, 0},       {start, 0},
               {start + 86400, 25},      {start + 2 * 86400, 50},
               {start + 4 * 86400, 100}, {start + 400 * 86400, 100}};
  for (const auto& t : times) EXPECT_DOUBLE_EQ(RolloutShare(growing, t.now), t.share) << t.now;
  EXPECT_DOUBLE_EQ(RolloutShare({Rollout::Kind::kFixed, 12.5}, start), 12.5);
  EXPECT_DOUBLE_EQ(RolloutShare({}, start), 100);

  const struct {
    std::uint32_t draw;
    double percent;
    bool covered;
  } draws[] = {{0, 0, false},
               {0, 1e-9, true},
               {kTenth, 10, true},
               {kTenth + 1, 10, false},
               {0xFFFFFFFF, 99.9999, false},
               {0xFFFFFFFF, 100, true}};
  for (const auto& d : draws) {
    EXPECT_EQ(DrawCovered(d.draw, d.percent), d.covered) << d.draw << " at " << d.percent;
  }
  // Once in, always in as the share grows.
  for (std::uint32_t draw = 0; draw < 0xF0000000u; draw += 0x01234567u) {
    bool in = false;
    for (double percent = 0; percent <= 100; percent += 0.5) {
      const bool now_in = DrawCovered(draw, percent);
      EXPECT_FALSE(in && !now_in) << draw << " dropped out at " << percent;
      in = now_in;
    }
    EXPECT_TRUE(in);
  }
}

TEST(Rollout, DrawIsKeptOnceMadeAndReplacesWhatIsNoDraw) {
  static std::uint32_t next = 7;
  const auto draw = +[] { return next++; };
  Json state = Json::object();
  bool drawn = false;
  EXPECT_EQ(KeepRolloutDraw(state, draw, &drawn), 7u);
  EXPECT_TRUE(drawn);
  EXPECT_EQ(KeepRolloutDraw(state, draw, &drawn), 7u);
  EXPECT_FALSE(drawn);
  EXPECT_EQ(state["rollout_draw"], 7);

  for (const Json& bad : {Json("12"), Json(-1), Json(4294967296LL), Json(nullptr), Json(1.5)}) {
    Json corrupt{{"rollout_draw", bad}};
    EXPECT_FALSE(ReadRolloutDraw(corrupt)) << bad;
    EXPECT_NE(KeepRolloutDraw(corrupt, draw, &drawn), 0u);
    EXPECT_TRUE(drawn) << bad;
    EXPECT_EQ(ReadRolloutDraw(corrupt), corrupt["rollout_draw"].get<std::uint32_t>());
  }
  EXPECT_EQ(ReadRolloutDraw(Json{{"rollout_draw", 4294967295LL}}), 4294967295u);
}

// 100,000 installations: each tenth of the range holds 10 % of them within
// one point (ten standard deviations: a failure is a broken draw, not bad luck).
TEST(Rollout, DrawsSpreadEvenlyOverTheRange) {
  constexpr int kDraws = 100000;
  int tenths[10] = {};
  for (int i = 0; i < kDraws; ++i)
    ++tenths[static_cast<std::uint64_t>(DrawForRollout()) * 10 >> 32];
  for (int t = 0; t < 10; ++t) EXPECT_NEAR(tenths[t], kDraws / 10, kDraws / 100) << "tenth " << t;
}

TEST(Rollout, StagedRecordCarriesCriticalOnlyWhenSet) {
  Json state = Json::object();
  WriteStaged(state, {"2.0.0", "/u/a.exe", "", "", "2026-01-01", true});
  EXPECT_EQ(state["staged"]["critical"], true);
  EXPECT_TRUE(ReadStaged(state)->critical);
  WriteStaged(state, {"2.0.0", "/u/a.exe", "", "", "2026-01-01", false});
  EXPECT_FALSE(state["staged"].contains("critical"));
  state["staged"]["critical"] = "yes";  // not true: not critical, the record still sound
  ASSERT_TRUE(ReadStaged(state));
  EXPECT_FALSE(ReadStaged(state)->critical);
}

// Releases 1.0.0 (everyone), 1.1.0 (half), 2.0.0 (stable, a tenth), a beta
// 2.1.0 and a beta 1.5.0 listed only for its channel; `changes` patches it.
ManifestDocument Manifest(const Json& changes = Json::object(), const std::string& channel = "") {
  Json manifest = {
      {"current", {{"stable", {{kPlatform, "2.0.0"}}}, {"beta", {{kPlatform, "2.1.0"}}}}},
      {"releases",
       {{kPlatform,
         {{"1.0.0", {{"url", "https://x/1.0.0.exe"}}},
          {"1.1.0", {{"url", "https://x/1.1.0.exe"}, {"rollout", {{"percent", 50}}}}},
          {"1.5.0", {{"url", "https://x/1.5.0.exe"}, {"channel", "beta"}}},
          {"2.0.0", {{"url", "https://x/2.0.0.exe"}, {"rollout", {{"percent", 10}}}}},
          {"2.1.0", {{"url", "https://x/2.1.0.exe"}, {"channel", "beta"}}}}}}}};
  if (changes.is_object()) manifest.merge_patch(changes);  // `{}` in a table is null
  return ReadManifestDocument(manifest.dump(), kPlatform, channel);
}

TEST(ChooseRelease, PicksAmongListedReleasesByDrawChannelAndState) {
  const Json withdrawn = {{"releases", {{kPlatform, {{"2.0.0", {{"withdrawn", true}}}}}}}};
  const Json critical = {{"releases", {{kPlatform, {{"2.0.0", {{"critical", true}}}}}}}};
  const Json bad_share = {
      {"releases", {{kPlatform, {{"2.0.0", {{"rollout", {{"percent", 101}}}}}}}}}};
  const Json bad_days = {
      {"releases",
       {{kPlatform,
         {{"2.0.0",
           {{"rollout",
             {{"percent", nullptr}, {"start", "2026-01-01T00:00:00Z"}, {"days", 0}}}}}}}}}};
  const Json both_bad = {
      {"releases",
       {{kPlatform,
         {{"2.0.0", {{"rollout", "10%"}}},
          {"1.1.0", {{"rollout", {{"percent", nullptr}, {"start", "soon"}}}}}}}}}};
  const std::uint32_t in_tenth = 5, in_half = 3 * kTenth, outside = 8 * kTenth;
  const struct {
    const char* name;
    Json changes;
    std::string channel;
    std::uint32_t draw;
    std::optional<std::string> installed;
    std::string chosen;  // "" for none
    std::string passed_over;
    std::string notice;
  } cases[] = {
      {"in the tenth", {}, "", in_tenth, "1.0.0", "2.0.0", "", ""},
      {"in half", {}, "", in_half, "0.9.0", "1.1.0", "outside the rollout of 2.0.0 (10%)", ""},
      {"outside both", {}, "", outside, "0.9.0", "1.0.0", "outside the rollout of 2.0.0 (10%)", ""},
      {"nothing newer", {}, "", outside, "1.0.0", "", "outside the rollout of 2.0.0 (10%)", ""},
      {"fresh install",
       {},
       "",
       in_half,
       std::nullopt,
       "1.1.0",
       "outside the rollout of 2.0.0 (10%)",
       ""},
      {"withdrawn", withdrawn, "", in_tenth, "0.9.0", "1.1.0", "2.0.0 withdrawn", ""},
      {"critical", critical, "", outside, "1.0.0", "2.0.0", "", ""},
      {"share over 100", bad_share, "", in_tenth, "0.9.0", "1.1.0",
       "2.0.0 unusable: rollout percent outside 0-100", ""},
      {"days of 0", bad_days, "", in_tenth, "0.9.0", "1.1.0",
       "2.0.0 unusable: rollout days not above 0", ""},
      {"two malformed", both_bad, "", in_tenth, "0.9.0", "1.0.0",
       "2.0.0 unusable: rollout is not an object",
       "release 1.1.0 unusable: rollout start is not a UTC time"},
      {"beta channel", {}, "beta", outside, "2.0.0", "2.1.0", "", ""},
      {"beta behind stable",
       {{"current", {{"beta", {{kPlatform, "1.5.0"}}}}}},
       "beta",
       in_tenth,
       "1.0.0",
       "2.0.0",
       "",
       ""},
      {"beta falls back within beta",
       {{"releases", {{kPlatform, {{"2.1.0", {{"withdrawn", true}}}, {"2.0.0", nullptr}}}}}},
       "beta",
       outside,
       "1.0.0",
       "1.5.0",
       "2.1.0 withdrawn",
       ""},
      {"unknown channel",
       {},
       "nightly",
       in_tenth,
       "1.0.0",
       "2.0.0",
       "",
       "channel nightly not in the manifest; stable only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseQuery query{kPlatform, c.channel, c.draw, 0, c.installed};
    const ReleaseChoice choice = ChooseRelease(Manifest(c.changes, c.channel), query);
    EXPECT_EQ(choice.found ? choice.release.version : "", c.chosen);
    EXPECT_EQ(choice.passed_over, c.passed_over);
    if (c.notice.empty()) {
      EXPECT_TRUE(choice.notices.empty()) << choice.notices.front();
    } else {
      ASSERT_EQ(choice.notices.size(), 1u);
      EXPECT_EQ(choice.notices[0], c.notice);
    }
  }
}

TEST(ChooseRelease, ManifestWithoutTheNewMembersOffersItsStableRelease) {
  const ManifestDocument plain = ReadManifestDocument(
      R"({"current":{"stable":{"windows-x64":"1.5.0"}},"releases":{"windows-x64":{)"
      R"("1.4.0":{"url":"https://x/a"},"1.5.0":{"url":"","sha256":"ab"}}}})",
      kPlatform);
  // No url on the current entry: nothing, as ParseManifest says, and no older release either.
  EXPECT_FALSE(ChooseRelease(plain, {kPlatform, "", 0, 0, "1.0.0"}).found);
  const ReleaseChoice signed_build =
      ChooseRelease(Manifest(), {kPlatform, "", 5, 0, "1.0.0", true});
  EXPECT_FALSE(signed_build.found);  // no digest anywhere
  EXPECT_EQ(signed_build.passed_over, "2.0.0 unusable: no sha256");
}

TEST(ChooseRelease, KeepsCurrentEntriesPastTheListingCap) {
  Json releases = Json::object();
  for (std::size_t i = 0; i < kMaxListedReleases + 50; ++i) {
    releases["0." + std::to_string(i)] = {{"url", "https://x/" + std::to_string(i)}};
  }
  // `releases` comes before `current` in the text, and both named entries
  // ("0.98" and "0.99" sort last) are past the cap.
  std::string body = Json{{"releases", {{kPlatform, releases}}}, {"zcurrent", nullptr}}.dump();
  body.replace(body.find("\"zcurrent\":null"), 15,
               R"("current":{"stable":{"windows-x64":"0.99"},"beta":{"windows-x64":"0.98"}})");
  const ManifestDocument document = ReadManifestDocument(body, kPlatform, "beta");
  const std::vector<ListedRelease> listed = ListReleases(document, kPlatform);
  EXPECT_EQ(listed.size(), kMaxListedReleases + 2);
  EXPECT_TRUE(FindRelease(listed, "0.99"));
  EXPECT_TRUE(FindRelease(listed, "0.98"));
  EXPECT_EQ(*CurrentVersion(document, kPlatform, "beta"), "0.98");
  EXPECT_FALSE(CurrentVersion(ReadManifestDocument(body, kPlatform), kPlatform, "beta"));
}

}  // namespace
}  // namespace solvane
