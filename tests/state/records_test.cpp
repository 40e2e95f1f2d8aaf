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

TEST(Launched, ReadsWhatItWroteAndSkipsWhatIsNotARecord) {
  Json state = Json::parse(R"({"launched": [
      {"installer": "/u/a.exe", "time": 1784233880},
      {"installer": "/u/b.exe", "time": -3},
      {"installer": "/u/c.exe", "time": "1784233880"},
      {"installer": 7, "time": 1},
      {"time": 1},
      {"installer": "/u/d.exe", "time": 1.5},
      {"installer": "/u/e.exe", "time": 18446744073709551615},
      "/u/f.exe"]})");
  const std::vector<LaunchedRecord> records = ReadLaunched(state);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].installer, "/u/a.exe");
  EXPECT_EQ(records[0].time, 1784233880);
  EXPECT_EQ(records[1].installer, "/u/b.exe");
  EXPECT_EQ(records[1].time, -3);

  WriteLaunched(state, records);
  EXPECT_EQ(state, Json::parse(R"({"launched": [{"installer": "/u/a.exe", "time": 1784233880},
                                                {"installer": "/u/b.exe", "time": -3}]})"));
  WriteLaunched(state, {});
  EXPECT_EQ(state, Json::object());
  EXPECT_TRUE(ReadLaunched(Json::parse(R"({"launched": {"installer": "/u/a.exe"}})")).empty());
  EXPECT_TRUE(ReadLaunched(Json::array()).empty());
}

TEST(UtcDate, IsTheUtcCalendarDay) {
  EXPECT_EQ(UtcDate(0), "1970-01-01");
  EXPECT_EQ(UtcDate(1784233880), "2026-07-16");
  EXPECT_EQ(UtcDate(951782400), "2000-02-29");
}

}  // namespace
}  // namespace solvane
