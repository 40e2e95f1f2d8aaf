// The version of the system a release must be able to run on.
#pragma once

#include <string>

namespace solvane {

// The system's name as release entries' `min_os` refers to it ("Windows",
// "glibc") and its dotted version ("10.0.19045", "2.36").
struct SystemVersion {
  std::string name;
  std::string version;
};

// This machine's system version; the version is "" when it cannot be read.
SystemVersion ReadSystemVersion();

}  // namespace solvane
