#include "state/text_bounds.h"

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

TEST(Utf8Prefix, NeverEndsInsideACharacter) {
  const std::string e_acute = "\xc3\xa9", euro = "\xe2\x82\xac", face = "\xf0\x9f\x98\x80";
  EXPECT_EQ(Utf8Prefix("abc", 5), "abc");
  EXPECT_EQ(Utf8Prefix("abc", 2), "ab");
  EXPECT_EQ(Utf8Prefix("a" + e_acute, 2), "a");
  EXPECT_EQ(Utf8Prefix("a" + e_acute, 3), "a" + e_acute);
  EXPECT_EQ(Utf8Prefix("a" + euro + "b", 2), "a");
  EXPECT_EQ(Utf8Prefix("a" + euro + "b", 3), "a");
  EXPECT_EQ(Utf8Prefix("a" + euro + "b", 4), "a" + euro);
  EXPECT_EQ(Utf8Prefix(face + "z", 3), "");
  EXPECT_EQ(Utf8Prefix(face + "z", 4), face);
  // Not UTF-8 (a run of continuation bytes): cut where asked.
  EXPECT_EQ(Utf8Prefix("\x80\x80\x80\x80\x80\x80", 5), "\x80\x80\x80\x80\x80");
}

}  // namespace
}  // namespace solvane
