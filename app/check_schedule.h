// When an unforced update check asks the release server, as pure functions of
// the clock, so that what a million installations do together can be tried
// out without waiting for days.
#pragma once

#include <cstdint>
#include <functional>

namespace solvane {

// Checks are daily. Each is recorded after its fetch, which a spread wait and
// the transfer delay by minutes, so a product starting the check at the same
// hour every day would find a few minutes short of a day on every second
// day: a check is due this much sooner than a full day.
inline constexpr std::int64_t kCheckIntervalSeconds = 86400;
inline constexpr std::int64_t kCheckToleranceSeconds = 3600;
// The furthest ahead a server's Retry-After may hold checks back.
inline constexpr std::int64_t kLongestServerHoldSeconds = 86400;

enum class CheckTiming {
  kDue,         // ask the server now
  kRecent,      // the last check was less than a day (less the tolerance) ago
  kServerHold,  // the server asked to be left alone until later
};

// Whether an unforced check at `now` asks the server, given the last check's
// time and the time a server asked to be left alone until (0: none). A time
// further ahead than its longest span (a clock that once ran ahead) is stale
// and holds nothing back. `interval` replaces the day when an administrator
// sets another; its tolerance is the day's hour, but never more than a
// quarter of the interval.
CheckTiming UnforcedCheckTiming(std::int64_t last_check, std::int64_t hold_until, std::int64_t now,
                                std::int64_t interval = kCheckIntervalSeconds);

// The time a Retry-After of `seconds`, received at `now`, holds checks back
// until: at most kLongestServerHoldSeconds ahead; 0 for no wait.
std::int64_t ServerHoldUntil(std::int64_t now, std::int64_t seconds);

// A draw from 0..bound-1, as libsodium's randombytes_uniform gives it.
using UniformDraw = std::function<std::uint32_t(std::uint32_t bound)>;

// The seconds a due check waits before its first request, evenly drawn from
// 0..longest, so that machines started together do not ask together. 0 when
// `longest` is 0 or less. Without `draw`, libsodium's generator.
std::int64_t SpreadWaitSeconds(std::int64_t longest, const UniformDraw& draw = {});

}  // namespace solvane
