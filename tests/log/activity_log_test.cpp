#include "log/activity_log.h"

#include <gtest/gtest.h>

#include <string>

namespace solvane {
namespace {

TEST(EscapeLogValue, ControlCharactersAndBrokenUtf8BecomeEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"1.5.0", "1.5.0"},
      {"a\nb", "a\\nb"},
      {"a\r\nb", "a\\r\\nb"},
      {"tab\there", "tab\\there"},
      {"C:\\Users\\x", "C:\\Users\\x"},  // backslashes stay
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"del\x7f", "del\\x7f"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"c1 \xc2\x85 \xc2\x9b", "c1 \\xc2\\x85 \\xc2\\x9b"},  // NEL and CSI
      {"ansi \xe9t\xe9", "ansi \\xe9t\\xe9"},
      {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(EscapeLogValue(value), expected);
  }
}

TEST(EscapeLogValue, LongValuesAreCutAtACharacterBoundaryWithTheirLength) {
  EXPECT_EQ(EscapeLogValue(std::string(512, 'v')), std::string(512, 'v'));
  EXPECT_EQ(EscapeLogValue(std::string(7000000, 'v')),
            std::string(512, 'v') + "...[7000000 bytes]");
  // A three-byte character that would straddle the cut is left out whole.
  const std::string euro = "\xe2\x82\xac";
  EXPECT_EQ(EscapeLogValue(std::string(511, 'v') + euro), std::string(511, 'v') + "...[514 bytes]");
}

TEST(FormatLogMessage, EscapesEveryStringAndFormatsNumbersAsPrintf) {
  EXPECT_EQ(FormatLogMessage("check: current=%s force=%d", "1.4.0\n[x] forged", 1),
            "check: current=1.4.0\\n[x] forged force=1");
  EXPECT_EQ(FormatLogMessage("check: update available %s -> %s", "1.4.0", "1.5.0"),
            "check: update available 1.4.0 -> 1.5.0");
  EXPECT_EQ(FormatLogMessage("%lld %zu %ld %u %x %5d|%-3d| %.2f 100%%", -5LL, std::size_t{7}, 9L,
                             3u, 255u, 42, 1, 2.5),
            "-5 7 9 3 ff    42|1  | 2.50 100%");
  EXPECT_EQ(FormatLogMessage("%.*s|%.3s|%c", 2, "abcdef", "x\ny\nz", '\n'), "ab|x\\ny|\\n");
  EXPECT_EQ(FormatLogMessage("no values"), "no values");
}

}  // namespace
}  // namespace solvane
