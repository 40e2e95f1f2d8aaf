#include "app/installer_download.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace solvane {
namespace {

TEST(EnoughSpaceFor, LeavesTheMarginFree) {
  const std::int64_t margin = kFreeSpaceMargin;
  const struct {
    std::int64_t free_bytes, to_come;
    bool enough;
  } cases[] = {{margin + 100, 100, true},
               {margin + 99, 100, false},
               {INT64_MAX, INT64_MAX, false},
               {-1, 0, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(EnoughSpaceFor(c.free_bytes, c.to_come), c.enough)
        << c.free_bytes << " free, " << c.to_come << " to come";
  }
}

}  // namespace
}  // namespace solvane
