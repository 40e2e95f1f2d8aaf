#include "app/check_schedule.h"

#include <sodium.h>

#include <algorithm>

namespace solvane {

CheckTiming UnforcedCheckTiming(std::int64_t last_check, std::int64_t hold_until, std::int64_t now,
                                std::int64_t interval) {
  // Compared with now -/+ a span so that no stored value can overflow.
  if (hold_until > now && hold_until <= now + kLongestServerHoldSeconds) {
    return CheckTiming::kServerHold;
  }
  const std::int64_t tolerance = std::min(kCheckToleranceSeconds, interval / 4);
  if (last_check > now - (interval - tolerance) && last_check <= now + interval) {
    return CheckTiming::kRecent;
  }
  return CheckTiming::kDue;
}

std::int64_t ServerHoldUntil(std::int64_t now, std::int64_t seconds) {
  if (seconds <= 0) return 0;
  return now + std::min(seconds, kLongestServerHoldSeconds);
}

std::int64_t SpreadWaitSeconds(std::int64_t longest, const UniformDraw& draw) {
  if (longest <= 0) return 0;
  // A day is the most that makes sense; it also keeps the bound in 32 bits.
  const auto bound = static_cast<std::uint32_t>(std::min(longest, kCheckIntervalSeconds) + 1);
  if (draw) return draw(bound);
  // Without a working generator the check simply goes ahead at once.
  return sodium_init() >= 0 ? randombytes_uniform(bound) : 0;
}

}  // namespace solvane
