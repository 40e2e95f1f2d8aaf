#include <ctime>

#include "platform/clock.h"

namespace solvane {

std::tm LocalTime(std::int64_t unix_seconds) {
  std::tm out{};
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  if (!::localtime_r(&t, &out)) out = std::tm{};
  return out;
}

std::tm UtcTime(std::int64_t unix_seconds) {
  std::tm out{};
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  if (!::gmtime_r(&t, &out)) out = std::tm{};
  return out;
}

}  // namespace solvane
