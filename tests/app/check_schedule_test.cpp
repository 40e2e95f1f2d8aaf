#include "app/check_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>

namespace solvane {
namespace {

constexpr std::int64_t kNow = 1'796'000'000;

// The 23-hour boundary and a Retry-After's cap are seen end to end; these
// are the clocks the end-to-end tests cannot set.
TEST(CheckSchedule, TimesTooFarAheadAreStale) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(UnforcedCheckTiming(kNow + 86400, 0, kNow), CheckTiming::kRecent);
  EXPECT_EQ(UnforcedCheckTiming(kNow + 86401, 0, kNow), CheckTiming::kDue);
  EXPECT_EQ(UnforcedCheckTiming(kMax, 0, kNow), CheckTiming::kDue);
  EXPECT_EQ(UnforcedCheckTiming(0, kNow + 86400, kNow), CheckTiming::kServerHold);
  EXPECT_EQ(UnforcedCheckTiming(0, kNow + 86401, kNow), CheckTiming::kDue);
  EXPECT_EQ(UnforcedCheckTiming(0, kMax, kNow), CheckTiming::kDue);
  EXPECT_EQ(ServerHoldUntil(kNow, kMax), kNow + 86400);
}

TEST(CheckSchedule, SpreadWaitsCoverTheWholeRangeAndNothingElse) {
  std::set<std::int64_t> seen;
  for (int i = 0; i < 2000; ++i) seen.insert(SpreadWaitSeconds(5));
  EXPECT_EQ(seen, (std::set<std::int64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(SpreadWaitSeconds(0), 0);
}

}  // namespace
}  // namespace solvane
