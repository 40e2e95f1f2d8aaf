#include "state/check_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>

namespace solvane {
namespace {

constexpr std::int64_t kNow = 1'796'000'000;
constexpr std::int64_t kHour = 3600;

TEST(CheckSchedule, ADailyStartChecksDailyButNeverTwiceWithinTheHour) {
  auto timing = [](std::int64_t last, std::int64_t hold = 0) {
    return UnforcedCheckTiming(last, hold, kNow);
  };
  EXPECT_EQ(timing(0), CheckTiming::kDue);
  // Yesterday's check, recorded minutes after its start, does not hold back today's.
  EXPECT_EQ(timing(kNow - 24 * kHour + 10 * 60), CheckTiming::kDue);
  EXPECT_EQ(timing(kNow - 23 * kHour), CheckTiming::kDue);
  EXPECT_EQ(timing(kNow - 23 * kHour + 1), CheckTiming::kRecent);
  EXPECT_EQ(timing(kNow - kHour), CheckTiming::kRecent);
  EXPECT_EQ(timing(kNow), CheckTiming::kRecent);
  // A clock that ran ahead: up to a day ahead counts as recent, further is stale.
  EXPECT_EQ(timing(kNow + 24 * kHour), CheckTiming::kRecent);
  EXPECT_EQ(timing(kNow + 24 * kHour + 1), CheckTiming::kDue);
  EXPECT_EQ(timing(std::numeric_limits<std::int64_t>::max()), CheckTiming::kDue);
  EXPECT_EQ(timing(std::numeric_limits<std::int64_t>::min()), CheckTiming::kDue);

  // A server's hold wins over a due check until it passes; one further
  // ahead than it could ever have been set is stale.
  EXPECT_EQ(timing(0, kNow + 1), CheckTiming::kServerHold);
  EXPECT_EQ(timing(0, kNow + 24 * kHour), CheckTiming::kServerHold);
  EXPECT_EQ(timing(0, kNow), CheckTiming::kDue);
  EXPECT_EQ(timing(0, kNow + 24 * kHour + 1), CheckTiming::kDue);
  EXPECT_EQ(timing(0, std::numeric_limits<std::int64_t>::max()), CheckTiming::kDue);
}

TEST(CheckSchedule, ServerHoldsAreCappedAtADay) {
  EXPECT_EQ(ServerHoldUntil(kNow, 0), 0);
  EXPECT_EQ(ServerHoldUntil(kNow, -5), 0);
  EXPECT_EQ(ServerHoldUntil(kNow, 120), kNow + 120);
  EXPECT_EQ(ServerHoldUntil(kNow, 3 * 24 * kHour), kNow + 24 * kHour);
  EXPECT_EQ(ServerHoldUntil(kNow, std::numeric_limits<std::int64_t>::max()), kNow + 24 * kHour);
}

TEST(CheckSchedule, SpreadWaitsCoverTheWholeRangeAndNothingElse) {
  EXPECT_EQ(SpreadWaitSeconds(0), 0);
  EXPECT_EQ(SpreadWaitSeconds(-1), 0);
  std::set<std::int64_t> seen;
  for (int i = 0; i < 2000; ++i) seen.insert(SpreadWaitSeconds(5));
  EXPECT_EQ(seen, (std::set<std::int64_t>{0, 1, 2, 3, 4, 5}));
  // The draw is asked for the number of choices, and never past a day.
  std::uint32_t asked = 0;
  const UniformDraw last = [&asked](std::uint32_t bound) {
    asked = bound;
    return bound - 1;
  };
  EXPECT_EQ(SpreadWaitSeconds(600, last), 600);
  EXPECT_EQ(asked, 601u);
  EXPECT_EQ(SpreadWaitSeconds(std::numeric_limits<std::int64_t>::max(), last), 86400);
}

}  // namespace
}  // namespace solvane
