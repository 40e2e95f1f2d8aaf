#include "platform/encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace solvane {
namespace {

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

// The log keeps a sequence only when it is well formed, and the decoder
// replaces exactly what the log escapes: both read these lengths.
TEST(Utf8SequenceLength, AcceptsOnlyWellFormedSequences) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"a", 0},
      {"\xc3\xa9", 2},
      {"\xe2\x82\xac", 3},
      {"\xf0\x9f\x98\x80", 4},
      {"\xf4\x8f\xbf\xbf", 4},  // U+10FFFF
      {"\xc0\xaf", 0},          // overlong '/'
      {"\xe0\x9f\xbf", 0},      // overlong U+07FF
      {"\xed\xa0\x80", 0},      // surrogate U+D800
      {"\xf4\x90\x80\x80", 0},  // U+110000
      {"\xe2\x82", 0},          // cut short
      {"\xe2\x28\xac", 0},      // second byte not a continuation
      {"\x80", 0},
      {"\xff", 0},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(text));
    EXPECT_EQ(Utf8SequenceLength(text, 0), expected);
  }
}

TEST(DecodeUtf8, ReplacesEachBadLeadByteAndRoundTrips) {
  EXPECT_EQ(DecodeUtf8("a\xc3\xa9\xe2\x82\xac"), u"a\u00e9\u20ac");
  EXPECT_EQ(DecodeUtf8("\xf0\x9f\x98\x80"), u"\U0001F600");
  // The lead of a short sequence is replaced and what follows read again.
  EXPECT_EQ(DecodeUtf8("\xe2\x82z"), u"\uFFFD\uFFFDz");
  EXPECT_EQ(DecodeUtf8("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");
  const std::string text = "x\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80y";
  EXPECT_EQ(EncodeUtf8(DecodeUtf8(text)), text);
}

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(AsciiLower("HTTPS_Proxy-\xc3\x89Z"), "https_proxy-\xc3\x89z");
  EXPECT_EQ(AsciiUpper("https_proxy-\xc3\xa9z"), "HTTPS_PROXY-\xc3\xa9Z");
  EXPECT_TRUE(StartsWithNoCase("HTTPS://host", "https://"));
  EXPECT_TRUE(StartsWithNoCase("Content-Range: bytes", "content-range:"));
  EXPECT_FALSE(StartsWithNoCase("http://host", "https://"));
  EXPECT_FALSE(StartsWithNoCase("http", "http/"));
}

}  // namespace
}  // namespace solvane
