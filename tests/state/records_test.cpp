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
      {R"({"last_check": 9223372036854775807})", Limits::max()},
      {R"({"last_check": -9223372036854775808})", Limits::min()},
      {R"({"last_check": -9223372036854775808.0})", Limits::min()},
      // Past the range reads as absent, as it does for every whole number read.
      {R"({"last_check": 9223372036854775808})", 0},
      {R"({"last_check": 18446744073709551615})", 0},
      {R"({"last_check": 9223372036854775808.0})", 0},
      {R"({"last_check": 1e300})", 0},
      {R"({"last_check": -1e300})", 0},
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
  Json state;
  WriteStaged(state, {"1", "/a/b", "", "", "", false, {std::string(64, 'a')}});
  EXPECT_EQ(ReadStaged(state)->publisher_pins, std::vector<std::string>{std::string(64, 'a')});

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

TEST(ManifestSerial, OnlyRises) {
  Json state = Json::object();
  EXPECT_FALSE(RaiseManifestSerial(state, 0));  // an unsigned manifest records nothing
  EXPECT_EQ(state, Json::object());
  EXPECT_TRUE(RaiseManifestSerial(state, 7));
  EXPECT_FALSE(RaiseManifestSerial(state, 7));
  EXPECT_FALSE(RaiseManifestSerial(state, 3));
  EXPECT_EQ(ReadManifestSerial(state), 7);
  // A record that does not read as a serial is replaced by any real one.
  state["manifest_serial"] = "9";
  EXPECT_TRUE(RaiseManifestSerial(state, 2));
  EXPECT_EQ(ReadManifestSerial(state), 2);
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

namespace solvane {
namespace {

TEST(ReadPartial, RoundTripsAndRejectsWhatIsNotARecord) {
  const PartialRecord record{"http://h/r/S.exe", "ab12", "/u/S.exe.partial", 4096, "\"v1\""};
  Json state = Json::parse(R"({"last_check": 5, "staged": {"version": "1"}})");
  state["partial"] = PartialJson(record);
  // Through text, as the state file holds it.
  const std::optional<PartialRecord> read = ReadPartial(Json::parse(state.dump()));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->url, record.url);
  EXPECT_EQ(read->sha256, record.sha256);
  EXPECT_EQ(read->file, record.file);
  EXPECT_EQ(read->bytes, 4096);
  EXPECT_EQ(read->validator, record.validator);
  // One an older program stored as the server sent it is no validator.
  state["partial"]["validator"] = "\"v\x1b\"";
  EXPECT_EQ(ReadPartial(state)->validator, "");
  // The other members are untouched by it.
  EXPECT_EQ(ReadLastCheck(state), 5);
  EXPECT_TRUE(ReadStaged(state));

  for (
      const char* text : {
          R"({})",  // a state file from before downloads were resumed
          R"({"partial": null})",
          R"({"partial": "x"})",
          R"({"partial": {"url": "u", "sha256": "", "file": "f", "validator": "v"}})",
          R"({"partial": {"url": "u", "sha256": "", "file": "f", "bytes": -1, "validator": "v"}})",
          R"({"partial": {"url": "u", "sha256": "", "file": "f", "bytes": 1.5, "validator": "v"}})",
          R"({"partial": {"url": 1, "sha256": "", "file": "f", "bytes": 1, "validator": "v"}})",
          R"({"partial": {"url": "u", "sha256": "", "bytes": 1, "validator": "v"}})",
      }) {
    EXPECT_FALSE(ReadPartial(Json::parse(text))) << text;
  }
}

}  // namespace
}  // namespace solvane

namespace solvane {
namespace {

// Every whole number the state holds is read by one rule: a JSON integer in
// the signed 64-bit range, anything else as absent.
TEST(WholeNumbers, EveryRecordReadsTheSameRange) {
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"18446744073709551615", std::nullopt},
      {"7.0", std::nullopt},
      {"\"7\"", std::nullopt},
  };
  for (const auto& [number, expected] : cases) {
    SCOPED_TRACE(number);
    EXPECT_EQ(JsonInt64(Json::parse(number)), expected);
    const Json state = Json::parse(std::string(R"({"manifest_serial": )") + number +
                                   R"(, "launched": [{"installer": "/u/a.exe", "time": )" + number +
                                   R"(}], "partial": {"url": "u", "sha256": "", )" +
                                   R"("file": "f", "validator": "v", "bytes": )" + number + "}}");
    EXPECT_EQ(ReadManifestSerial(state), expected.value_or(0));
    const std::vector<LaunchedRecord> launched = ReadLaunched(state);
    EXPECT_EQ(launched.empty() ? std::nullopt : std::optional(launched[0].time), expected);
    const std::optional<PartialRecord> partial = ReadPartial(state);
    EXPECT_EQ(partial ? std::optional(partial->bytes) : std::nullopt, expected);
  }
}

}  // namespace
}  // namespace solvane
