#include "platform/untrusted_json.h"

#include <gtest/gtest.h>

#include <string>

namespace solvane {
namespace {

TEST(NestsDeeperThan, CountsOpenBracketsOutsideStrings) {
  EXPECT_FALSE(NestsDeeperThan("", 1));
  EXPECT_FALSE(NestsDeeperThan("[[]]", 2));
  EXPECT_TRUE(NestsDeeperThan("[[[]]]", 2));
  EXPECT_TRUE(NestsDeeperThan(R"({"a":{"b":[)", 2));  // unclosed counts too
  EXPECT_FALSE(NestsDeeperThan(R"([[], [], {"a": []}])", 3));
  EXPECT_FALSE(NestsDeeperThan(R"(["[[[[", "\"[[[["])", 1));
  EXPECT_TRUE(NestsDeeperThan(R"(["\\", [[]]])", 2));  // an escaped backslash ends the escape
  EXPECT_FALSE(NestsDeeperThan(std::string(256, '[') + std::string(256, ']'), 256));
  EXPECT_TRUE(NestsDeeperThan(std::string(257, '['), 256));
  // 16 MiB of '[' is decided at the first bracket too many.
  EXPECT_TRUE(NestsDeeperThan(std::string(16 << 20, '['), 256));
}

}  // namespace
}  // namespace solvane
