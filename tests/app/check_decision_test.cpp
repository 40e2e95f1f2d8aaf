#include "app/check_decision.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace solvane {
namespace {

using Offer = ReleaseChoice::Outcome;

const std::string kDigest(64, 'a'), kOther(64, 'b');
constexpr bool kSigned = true, kUnsigned = false;
enum Also { kNone = 0, kDropStaged = 1, kDropPartials = 2, kMarkCritical = 4 };

StagedRecord Staged(const char* version, const std::string& sha256 = kDigest,
                    bool critical = false) {
  return {version, "/u/Solvane.exe", sha256, "", "2026-01-01", critical};
}

// A fetched manifest that offers `version` to an installation of 1.4.0.
CheckFacts Offering(const char* version, std::optional<StagedRecord> staged, bool signed_build,
                    const std::string& sha256 = kDigest, bool critical = false) {
  return {true, Offer::kFound, version, sha256, critical, std::move(staged), "1.4.0", signed_build};
}

// A manifest that offers nothing, beside a record a signed build would drop
// were a release offered.
CheckFacts Nothing(bool fetched, Offer offer) {
  return {fetched, offer, "1.5.0", kDigest, false, Staged("1.5.0", ""), "1.4.0", kSigned};
}

TEST(DecideCheck, VerdictAndWhatIsDroppedOrMarked) {
  using enum CheckVerdict;
  const struct {
    const char* name;
    CheckFacts facts;
    CheckVerdict verdict;
    int also;
  } cases[] = {
      {"not fetched", Nothing(false, Offer::kFound), kFetchFailed, kNone},
      {"unusable", Nothing(true, Offer::kUnusable), kUnusable, kNone},
      {"no release", Nothing(true, Offer::kNoRelease), kNoRelease, kNone},
      {"held back", Nothing(true, Offer::kHeldBack), kNothingOffered, kDropPartials},
      {"newer", Offering("1.5.0", std::nullopt, kUnsigned), kUpdateAvailable, kNone},
      {"now critical", Offering("1.5.0", Staged("1.5.0"), kUnsigned, kDigest, true), kAlreadyStaged,
       kDropPartials | kMarkCritical},
      {"no longer critical", Offering("1.5.0", Staged("1.5.0", kDigest, true), kUnsigned),
       kAlreadyStaged, kDropPartials | kMarkCritical},
      {"staged is newer", Offering("1.5.0", Staged("1.6.0"), kUnsigned), kUpToDate, kDropPartials},
      {"installed is newer", Offering("1.3.5", Staged("1.3.0"), kUnsigned), kUpToDate,
       kDropPartials},
      // A signed build drops a record the signed manifest does not vouch
      // for, then decides without it.
      {"no digest", Offering("1.5.0", Staged("1.5.0", ""), kSigned), kUpdateAvailable, kDropStaged},
      {"no digest, newer", Offering("1.5.0", Staged("1.6.0", ""), kSigned), kUpdateAvailable,
       kDropStaged},
      {"no digest, unsigned", Offering("1.5.0", Staged("1.5.0", ""), kUnsigned), kAlreadyStaged,
       kDropPartials},
      {"other digest", Offering("1.5.0", Staged("1.5.0"), kSigned, kOther), kUpdateAvailable,
       kDropStaged},
      {"other version", Offering("1.5.0", Staged("1.6.0"), kSigned, kOther), kUpToDate,
       kDropPartials},
      {"signed", Offering("1.5.0", Staged("1.5.0"), kSigned), kAlreadyStaged, kDropPartials},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CheckDecision decision = DecideCheck(c.facts);
    EXPECT_EQ(decision.verdict, c.verdict);
    EXPECT_EQ(decision.drop_staged, (c.also & kDropStaged) != 0);
    EXPECT_EQ(decision.drop_partials, (c.also & kDropPartials) != 0);
    EXPECT_EQ(decision.mark_critical, (c.also & kMarkCritical) != 0);
  }
}

// An announced release is recorded unless it is what is installed, and the
// record is left alone when the manifest was not read.
TEST(DecideCheck, RecordsTheAnnouncedRelease) {
  CheckFacts installed = Nothing(true, Offer::kHeldBack);
  installed.available = AvailableRelease{"1.4.0", "", ""};
  EXPECT_FALSE(DecideCheck(installed).available);
  EXPECT_TRUE(DecideCheck(installed).update_available);

  CheckFacts not_fetched = Nothing(false, Offer::kFound);
  not_fetched.available = AvailableRelease{"2.0.0", "", "https://x/2"};
  EXPECT_FALSE(DecideCheck(not_fetched).update_available);
}

}  // namespace
}  // namespace solvane
