// A check that survives NDEBUG: prints what failed and aborts, which
// libFuzzer reports as a crash and saves the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(::solvane_fuzz_report, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                                            \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

// Where check failures go; the targets may point `stderr` elsewhere.
inline std::FILE* solvane_fuzz_report = stderr;
