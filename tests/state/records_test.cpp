#include "state/records.h"

#include <gtest/gtest.h>

#include <limits>

namespace solvane {
namespace {

TEST(ReadLastCheck, TakesWholeSecondsAndIgnoresWhatIsNotANumber) {
  using Limits = std::numeric_limits<std::int64_t>;
  const std::pair<const char*, std::int64_t> cases[] = {
      {R"({})", 0},
      {R"({"last_check": 1784233880})", 1784233880},
      {R"({"last_check": -5})", -5},
      {R"({"last_check": 1784233880.9})", 1784233880},
      {R"({"last_check": -2.7})", -2},
      {R"({"last_check": "1784233880"})", 0},
      {R"({"last_check": null})", 0},
      {R"({"last_check": [1]})", 0},
      {R"({"last_check": 18446744073709551615})", Limits::max()},
      {R"({"last_check": 1e300})", Limits::max()},
      {R"({"last_check": -1e300})", Limits::min()},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ReadLastCheck(Json::parse(text)), expected);
  }
  EXPECT_EQ(ReadLastCheck(Json::array()), 0);
}

TEST(ReadStaged, AcceptsOnlyAnObjectOfStrings) {
  const auto staged =
      ReadStaged(Json::parse(R"({"staged": {"installer": "/a/b", "version": "1"}})"));
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->installer, "/a/b");
  EXPECT_EQ(staged->version, "1");
  EXPECT_EQ(staged->notes, "");

  const char* const absent[] = {
      R"({})",
      R"({"staged": "/a/b"})",
      R"({"staged": ["/a/b"]})",
      R"({"staged": {"installer": 5}})",
      R"({"staged": {"installer": "/a/b", "version": null}})",
      R"({"staged": {"installer": "/a/b", "date": 20260716}})",
  };
  for (const char* text : absent) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ReadStaged(Json::parse(text)));
  }
}

TEST(UtcDate, IsTheUtcCalendarDay) {
  EXPECT_EQ(UtcDate(0), "1970-01-01");
  EXPECT_EQ(UtcDate(1784233880), "2026-07-16");
  EXPECT_EQ(UtcDate(951782400), "2000-02-29");
}

TEST(CapNotes, StoredNotesStopAt64KiBOnACharacterBoundary) {
  const std::string small = "Faster sync \xe2\x82\xac";
  EXPECT_EQ(CapNotes(small), small);
  EXPECT_EQ(CapNotes(std::string(kMaxNotesBytes, 'n')), std::string(kMaxNotesBytes, 'n'));
  // A euro sign across the cap is left out whole.
  const std::string straddling = std::string(kMaxNotesBytes - 1, 'n') + "\xe2\x82\xac" + "tail";
  EXPECT_EQ(CapNotes(straddling), std::string(kMaxNotesBytes - 1, 'n'));
  // Both records that carry notes store them capped.
  const std::string huge(15u << 20, 'h');
  EXPECT_EQ(StagedJson({"1.5.0", "/x", "", huge, "2026-07-16"})["notes"],
            std::string(kMaxNotesBytes, 'h'));
  EXPECT_EQ(ReleaseNotesJson("1.5.0", huge)["notes"], std::string(kMaxNotesBytes, 'h'));
}

}  // namespace
}  // namespace solvane
