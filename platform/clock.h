// Wall-clock time for stamps and dates.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

namespace solvane {

// Whole seconds since the Unix epoch, truncated. The standard clock counts
// from the epoch on every OS we build for.
inline std::int64_t UnixNow() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// Broken-down local time of a Unix time; zeroed on failure.
std::tm LocalTime(std::int64_t unix_seconds);

// Broken-down UTC time of a Unix time; zeroed on failure.
std::tm UtcTime(std::int64_t unix_seconds);

}  // namespace solvane
