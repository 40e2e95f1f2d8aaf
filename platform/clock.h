// Wall-clock time for stamps and dates.
#pragma once

#include <cstdint>
#include <ctime>

namespace solvane {

// Whole seconds since the Unix epoch, truncated.
std::int64_t UnixNow();

// Broken-down local time of a Unix time; zeroed on failure.
std::tm LocalTime(std::int64_t unix_seconds);

// Broken-down UTC time of a Unix time; zeroed on failure.
std::tm UtcTime(std::int64_t unix_seconds);

}  // namespace solvane
