#include <ctime>

#include "platform/clock.h"

namespace solvane {

// The CRT's *_s conversions take the result buffer first and return an errno
// value; the 64-bit time_t covers every date the program meets.
std::tm LocalTime(std::int64_t unix_seconds) {
  std::tm out{};
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  if (::localtime_s(&out, &t) != 0) out = std::tm{};
  return out;
}

std::tm UtcTime(std::int64_t unix_seconds) {
  std::tm out{};
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  if (::gmtime_s(&out, &t) != 0) out = std::tm{};
  return out;
}

}  // namespace solvane
