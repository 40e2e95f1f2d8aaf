#include "release/release_choice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "release/signed_members.h"
#include "state/records.h"

namespace solvane {
namespace {

using Json = nlohmann::json;

constexpr const char* kPlatform = "windows-x64";
constexpr std::uint32_t kTenth = 429496729;  // floor(2^32 / 10)

TEST(Rollout, ShareOverTimeAndTheDrawsItCovers) {
  const std::int64_t start = *ParseUtcTime("2026-01-01T00:00:00Z");
  const Rollout growing{Rollout::Kind::kGrowing, 0, start, 4};
  for (const auto& [now, share] : {std::pair{start - 86400, 0.0},
                                   {start + 86400, 25.0},
                                   {start + 2 * 86400, 50.0},
                                   {start + 400 * 86400, 100.0}}) {
    EXPECT_DOUBLE_EQ(RolloutShare(growing, now), share) << now;
  }
  for (const auto& [draw, percent, covered] : {std::tuple{0u, 0.0, false},
                                               {0u, 1e-9, true},
                                               {kTenth, 10.0, true},
                                               {kTenth + 1, 10.0, false},
                                               {0xFFFFFFFFu, 99.9999, false},
                                               {0xFFFFFFFFu, 100.0, true}}) {
    EXPECT_EQ(DrawCovered(draw, percent), covered) << draw << " at " << percent;
  }
}

// A stored value that is no draw of ours is replaced; a sound draw never is.
TEST(Rollout, DrawIsKeptOnceMade) {
  for (const Json& bad : {Json("12"), Json(-1), Json(4294967296LL), Json(1.5)}) {
    Json state{{"rollout_draw", bad}};
    const std::uint32_t fresh = KeepRolloutDraw(state, DrawForRollout);
    KeepRolloutDraw(state, fresh + 1);
    EXPECT_EQ(ReadRolloutDraw(state), fresh) << bad;
  }
}

// Releases 1.0.0 (everyone), 1.1.0 (half), 2.0.0 (stable, a tenth), a beta
// 2.1.0 and a beta 1.5.0 listed only for its channel; `changes` patches it.
ManifestDocument Manifest(const Json& changes, const std::string& channel) {
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

Json Entry(const char* version, Json members) {
  return {{"releases", {{kPlatform, {{version, std::move(members)}}}}}};
}

TEST(ChooseRelease, PicksAmongListedReleasesByDrawChannelAndState) {
  const std::uint32_t in_tenth = 5, in_half = 3 * kTenth, outside = 8 * kTenth;
  const std::string tenth = "outside the rollout of 2.0.0 (10%)";
  const std::string not_string = "[json.exception.type_error.302] type must be string, but is ";
  const struct {
    const char* name;
    Json changes;
    std::string channel;
    std::uint32_t draw;
    std::optional<std::string> installed;
    std::string chosen;  // "" for none
    std::string passed_over;
    std::string notice = "";
    std::string error = "";  // the manifest is unusable
  } cases[] = {
      {"in the tenth", {}, "", in_tenth, "1.0.0", "2.0.0", ""},
      {"in half", {}, "", in_half, "0.9.0", "1.1.0", tenth},
      {"nothing newer", {}, "", outside, "1.0.0", "", tenth},
      {"fresh install", {}, "", in_half, std::nullopt, "1.1.0", tenth},
      {"withdrawn", Entry("2.0.0", {{"withdrawn", true}}), "", in_tenth, "0.9.0", "1.1.0",
       "2.0.0 withdrawn"},
      {"critical", Entry("2.0.0", {{"critical", true}}), "", outside, "1.0.0", "2.0.0", ""},
      {"share over 100", Entry("2.0.0", {{"rollout", {{"percent", 101}}}}), "", in_tenth, "0.9.0",
       "1.1.0", "2.0.0 unusable: rollout percent outside 0-100"},
      {"size as text", Entry("2.0.0", {{"size", "100"}}), "", in_tenth, "0.9.0", "1.1.0",
       "2.0.0 unusable: size is not a byte count"},
      {"bad start in a fallback",
       Entry("1.1.0", {{"rollout", {{"percent", nullptr}, {"start", "soon"}, {"days", 1}}}}), "",
       in_half, "0.9.0", "1.0.0", tenth, "release 1.1.0 unusable: rollout start is not a UTC time"},
      {"beta channel", {}, "beta", outside, "2.0.0", "2.1.0", ""},
      {"beta behind stable",
       {{"current", {{"beta", {{kPlatform, "1.5.0"}}}}}},
       "beta",
       in_tenth,
       "1.0.0",
       "2.0.0",
       ""},
      {"beta falls back within beta",
       {{"releases", {{kPlatform, {{"2.1.0", {{"withdrawn", true}}}, {"2.0.0", nullptr}}}}}},
       "beta",
       outside,
       "1.0.0",
       "1.5.0",
       "2.1.0 withdrawn"},
      {"unknown channel",
       {},
       "nightly",
       in_tenth,
       "1.0.0",
       "2.0.0",
       "",
       "channel nightly not in the manifest; stable only"},
      // The stable release is read strictly, whatever else is chosen: a
      // member of the wrong type in it makes the whole manifest unusable,
      // where another release's is only passed over.
      {"stable sha256", Entry("2.0.0", {{"sha256", 5}}), "", in_tenth, "0.9.0", "", "", "",
       not_string + "number"},
      {"stable url", Entry("2.0.0", {{"url", Json::array()}}), "beta", in_tenth, "0.9.0", "", "",
       "", not_string + "array"},
      {"beta url", Entry("2.1.0", {{"url", 5}}), "beta", in_tenth, "0.9.0", "2.0.0", "",
       "channel beta names 2.1.0 without a release entry; stable only"},
      {"earlier sha256", Entry("1.1.0", {{"sha256", 5}}), "", in_half, "0.9.0", "1.0.0", tenth,
       "release 1.1.0 unusable: sha256 is not a string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ReleaseChoice choice = ChooseRelease(Manifest(c.changes, c.channel),
                                               {kPlatform, c.channel, c.draw, 0, c.installed});
    EXPECT_EQ(choice.found() ? choice.release.version : "", c.chosen);
    EXPECT_EQ(choice.passed_over, c.passed_over);
    EXPECT_EQ(choice.notices.empty() ? "" : choice.notices[0], c.notice);
    EXPECT_EQ(choice.error, c.error);
  }
  const ManifestDocument not_json = ReadManifestDocument("{", kPlatform);
  EXPECT_EQ(ChooseRelease(not_json, {kPlatform, "", 0, 0, std::nullopt}).error, not_json.error);
  // A signed build takes no release without a digest.
  EXPECT_EQ(ChooseRelease(Manifest({}, ""), {kPlatform, "", 5, 0, "1.0.0", true}).passed_over,
            "2.0.0 unusable: no sha256");
  // ... nor one without its size, which bounds the download.
  const Json digest = {{"sha256", std::string(64, 'a')}};
  Json sized = Entry("2.0.0", digest);
  sized.merge_patch(Entry("1.1.0", {{"sha256", std::string(64, 'b')}, {"size", 7}}));
  const ReleaseChoice signed_choice =
      ChooseRelease(Manifest(sized, ""), {kPlatform, "", 5, 0, "1.0.0", true, true});
  EXPECT_EQ(signed_choice.passed_over, "2.0.0 unusable: no size");
  EXPECT_EQ(signed_choice.release.version, "1.1.0");
  EXPECT_EQ(signed_choice.release.size, 7);
}

// Rollbacks that are not made: the end-to-end tests show those that are.
TEST(ChooseRelease, RollsBackOnlyOutOfThePrefixAndToAUsableRelease) {
  const Json withdrawn = Entry("2.0.0", {{"withdrawn", true}, {"rollback_to", "1.1.0"}});
  Json unlisted = Entry("2.0.0", {{"withdrawn", true}, {"rollback_to", "1.9.0"}});
  const struct {
    const char* name;
    Json changes;
    std::string prefix;
    std::string installed;
    std::string notice = "";
  } cases[] = {
      // An installation already inside the prefix stays, however new.
      {"installed inside the prefix", {}, "1.", "1.2.0"},
      {"rollback_to not listed", unlisted, "", "2.0.0",
       "installed 2.0.0 withdrawn; its rollback_to 1.9.0 not offered: 1.9.0 not listed"},
      {"rollback_to outside the prefix", withdrawn, "2.", "2.0.0",
       "installed 2.0.0 withdrawn; its rollback_to 1.1.0 not offered: 1.1.0 outside "
       "TargetVersionPrefix 2."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ReleaseChoice choice =
        ChooseRelease(Manifest(c.changes, ""), {.platform_key = kPlatform,
                                                .channel = "",
                                                .draw = 5,
                                                .installed = c.installed,
                                                .version_prefix = c.prefix,
                                                .roll_back_to_prefix = true});
    EXPECT_FALSE(choice.found());
    EXPECT_EQ(choice.notices.empty() ? "" : choice.notices.back(), c.notice);
  }
}

TEST(ChooseRelease, SkipsReleasesAboveTheSystemAndAnnouncesThoseNotOffered) {
  const SystemVersion system{"Windows", "10.0.17763"};
  const std::string page = "https://x/download";
  const std::string needs = "2.0.0 needs Windows 10.0.19041; this is 10.0.17763";
  const auto with_page = [&](Json changes) {
    changes["download_page"] = page;
    return changes;
  };
  Json none_fits = Entry("2.0.0", {{"min_os", "10.0.19041"}});
  none_fits.merge_patch(Entry("1.1.0", {{"min_os", "10.0.18000.1"}}));
  none_fits.merge_patch(Entry("1.0.0", {{"min_os", "11"}}));
  const struct {
    const char* name;
    Json changes;
    std::optional<std::string> installed;
    std::string chosen;  // "" for none
    std::string passed_over;
    std::string available = "";  // version, a space, url
    std::string needs_system = "";
    std::string link_scheme = "https";
  } cases[] = {
      {"at min_os", Entry("2.0.0", {{"min_os", "10.0.17763"}}), "1.0.0", "2.0.0", ""},
      {"min_os of five parts", Entry("2.0.0", {{"min_os", "10.0.1.2.3"}}), "1.0.0", "1.1.0",
       "2.0.0 unusable: min_os is not a system version"},
      {"nothing fits the system", none_fits, std::nullopt, "", needs, "", "Windows 10.0.18000.1"},
      {"informational over http", Entry("2.0.0", {{"informational", "http://x/3"}}), "1.0.0",
       "1.1.0", "2.0.0 unusable: informational is not https"},
      {"informational over the build's http", Entry("2.0.0", {{"informational", "http://x/3"}}),
       "1.0.0", "1.1.0", "", "2.0.0 http://x/3", "", "http"},
      {"below min_autoupdate, no step between",
       with_page(Entry("2.0.0", {{"min_autoupdate", "1.5.0"}})), "1.1.0", "", "", "2.0.0 " + page},
      {"at min_autoupdate", Entry("2.0.0", {{"min_autoupdate", "1.1.0"}}), "1.1.0", "2.0.0", ""},
      {"a fresh install takes any", Entry("2.0.0", {{"min_autoupdate", "1.1.0"}}), std::nullopt,
       "2.0.0", ""},
      {"min_autoupdate not a version", Entry("2.0.0", {{"min_autoupdate", "soon"}}), "1.0.0",
       "1.1.0", "2.0.0 unusable: min_autoupdate is not a version"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseQuery query{kPlatform, "", 5, 0, c.installed};
    query.system = system;
    query.link_scheme = c.link_scheme;
    const ReleaseChoice choice = ChooseRelease(Manifest(c.changes, ""), query);
    EXPECT_EQ(choice.found() ? choice.release.version : "", c.chosen);
    EXPECT_EQ(choice.passed_over, c.passed_over);
    EXPECT_EQ(choice.available ? choice.available->version + " " + choice.available->url : "",
              c.available);
    EXPECT_EQ(choice.needs_system, c.needs_system);
  }
}

TEST(ChooseRelease, KeepsCurrentEntriesPastTheListingCap) {
  Json releases = Json::object();
  for (std::size_t i = 0; i < kMaxListedReleases + 50; ++i) {
    releases["0." + std::to_string(i)] = {{"url", "https://x/" + std::to_string(i)}};
  }
  // `releases` before `current` in the text; "0.98" and "0.99" sort past the cap.
  std::string body = Json{{"releases", {{kPlatform, releases}}}, {"zcurrent", nullptr}}.dump();
  body.replace(body.find("\"zcurrent\":null"), 15,
               R"("current":{"stable":{"windows-x64":"0.99"},"beta":{"windows-x64":"0.98"}})");
  const std::vector<ListedRelease> listed =
      ListReleases(ReadManifestDocument(body, kPlatform, "beta"), kPlatform);
  EXPECT_EQ(listed.size(), kMaxListedReleases + 2);
  EXPECT_TRUE(FindRelease(listed, "0.99") && FindRelease(listed, "0.98"));
}

// Usable deltas are read through the pruning parser; a malformed one is
// passed over with a reason, and past the cap the rest never reach memory.
TEST(ReleaseEntry, ReadsItsUsableDeltasUpToTheCap) {
  const std::string digest(64, 'a');
  const Json good = {
      {"from_sha256", digest}, {"url", "https://x/p"}, {"sha256", digest}, {"size", 10}};
  Json deltas =
      Json::array({good,
                   {{"from_sha256", "AA"}, {"url", "u"}, {"sha256", digest}},
                   Json{{"from_sha256", digest}, {"url", "u"}, {"sha256", digest}, {"size", -1}},
                   "not an object"});
  const auto listed_with = [&](const Json& list) {
    const Json manifest = {
        {"current", {{"stable", {{kPlatform, "2.0"}}}}},
        {"releases", {{kPlatform, {{"2.0", {{"url", "u"}, {"deltas", list}}}}}}}};
    return ListReleases(ReadManifestDocument(manifest.dump(), kPlatform, ""), kPlatform).at(0);
  };
  const ListedRelease release = listed_with(deltas);
  EXPECT_TRUE(release.problem.empty()) << "a bad delta costs a full download, not the release";
  ASSERT_EQ(release.deltas.size(), 1u);
  EXPECT_EQ(release.deltas[0].url, "https://x/p");
  EXPECT_EQ(release.deltas[0].size, 10);
  EXPECT_EQ(release.delta_problem, "delta from_sha256 or sha256 is not a digest");

  deltas = Json::array();
  for (int i = 0; i < 1000; ++i) deltas.push_back(good);
  const ListedRelease many = listed_with(deltas);
  EXPECT_EQ(many.deltas.size(), kMaxReleaseDeltas);
  EXPECT_EQ(many.delta_problem, "more than 16 deltas");
}

}  // namespace
}  // namespace solvane
