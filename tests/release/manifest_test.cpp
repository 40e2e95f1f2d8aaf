#include "release/manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "release/signed_members.h"

namespace solvane {
namespace {

using Json = nlohmann::json;

// ---------------------------------------------------------------------------
// ParseManifest: one row per kind of manifest failure (and the edge
// cases). Every output is pre-filled with a sentinel so "untouched" and
// "written as """ can be told apart.
// ---------------------------------------------------------------------------

constexpr const char* kUntouched = "<untouched>";
constexpr const char* kPlatform = "windows-x64";
constexpr const char* kLinePrefix = "SolvaneSetup: manifest parse error -- ";

// The library's own text for a syntax error in `text` (what ParseManifest must hand back).
std::string SyntaxErrorText(const std::string& text) {
  try {
    const Json unexpected = Json::parse(text);
    (void)unexpected;
  } catch (const Json::exception& error) {
    return error.what();
  }
  ADD_FAILURE() << "expected the JSON library to reject: " << text;
  return "";
}

// The line SolvaneSetup prints for an error text; "" for none.
std::string ErrorLine(const std::string& what) {
  return what.empty() ? "" : kLinePrefix + what + "\n";
}

// A manifest whose stable version for windows-x64 is 1.5.0 and whose release
// entry for it is `entry` (JSON text), beside another platform and version.
std::string WithEntry(const std::string& entry) {
  return R"({"current":{"stable":{"linux-x64":"9.9.9","windows-x64":"1.5.0"}},)"
         R"("releases":{"linux-x64":{"9.9.9":{"url":"https://x/l"}},)"
         R"("windows-x64":{"1.4.0":{"url":"https://x/old.exe"},"1.5.0":)" +
         entry + "}}}";
}

// A manifest with `current` and `releases` given as JSON text.
std::string With(const std::string& current, const std::string& releases) {
  return R"({"current":)" + current + R"(,"releases":)" + releases + "}";
}

const std::string kStable = R"({"stable":{"windows-x64":"1.5.0"}})";
const std::string kGoodEntry =
    R"({"url":"https://example.test/solvane/Solvane-1.5.0.exe","sha256":")"
    R"(0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef","notes":"Fixes."})";
const std::string kGood = WithEntry(kGoodEntry);

struct ManifestCase {
  std::string name;
  std::string text;
  bool result;
  std::string error_line;  // the line SolvaneSetup prints for the error; "" for none
  std::string version = kUntouched;
  std::string url = kUntouched;
  std::string sha256 = kUntouched;
  std::string notes = kUntouched;
  std::string platform = kPlatform;
};

std::ostream& operator<<(std::ostream& out, const ManifestCase& c) { return out << c.name; }

ManifestCase NotJson(std::string name, std::string text) {
  const std::string line = ErrorLine(SyntaxErrorText(text));
  return {std::move(name), std::move(text), false, line};
}

ManifestCase Silent(std::string name, std::string text) {
  return {std::move(name), std::move(text), false, ""};
}

ManifestCase VersionNotString(std::string name, const std::string& value, const char* type) {
  return {std::move(name),
          With(R"({"stable":{"windows-x64":)" + value + "}}",
               R"({"windows-x64":{"1.5.0":{"url":"u"}}})"),
          false,
          ErrorLine(std::string("[json.exception.type_error.302] type must be string, but is ") +
                    type)};
}

ManifestCase NoRelease(std::string name, std::string text, std::string version = "1.5.0") {
  ManifestCase c{std::move(name), std::move(text), false, ""};
  c.version = std::move(version);
  return c;
}

std::vector<ManifestCase> ManifestCases() {
  std::vector<ManifestCase> cases;

  // Row 1: not JSON -> false, the parse-error line, outputs untouched.
  cases.push_back(NotJson("Empty", ""));
  cases.push_back(NotJson("OnlyWhiteSpace", " \n\t\r\n"));
  cases.push_back(NotJson("Truncated", kGood.substr(0, kGood.size() - 1)));
  cases.push_back(NotJson("MissingValue", R"({"current":})"));
  cases.push_back(NotJson("TrailingComma", R"({"current":{"stable":{"windows-x64":"1.5.0",}}})"));
  cases.push_back(NotJson("SingleQuotes", "{'current':{}}"));
  cases.push_back(NotJson("BareWord", "manifest"));
  cases.push_back(NotJson("LineCommentBefore", "// release manifest\n" + kGood));
  cases.push_back(NotJson("BlockCommentInside",
                          R"({/* current */"current":{"stable":{"windows-x64":"1.5.0"}}})"));
  cases.push_back(NotJson("CommentAfterValue", kGood + " // end"));
  cases.push_back(NotJson("TextAfterValue", kGood + " x"));
  cases.push_back(NotJson("SecondValueAfterFirst", kGood + "{}"));
  cases.push_back(NotJson("SecondValueAfterNewline", kGood + "\n" + kGood));
  cases.push_back(NotJson("InvalidUtf8InString", WithEntry("{\"url\":\"u\",\"notes\":\"\xff\"}")));
  cases.push_back(NotJson("ControlCharacterInString", WithEntry("{\"url\":\"a\tb\"}")));
  cases.push_back(
      NotJson("EmbeddedNul", std::string("{\"current\":\0}", sizeof("{\"current\":\0}") - 1)));

  // Row 2: no stable version for the platform -> false, silent, untouched.
  cases.push_back(Silent("TopLevelArray", "[" + kGood + "]"));
  cases.push_back(Silent("TopLevelString", R"("1.5.0")"));
  cases.push_back(Silent("TopLevelNumber", "42"));
  cases.push_back(Silent("TopLevelNull", "null"));
  cases.push_back(Silent("EmptyObject", "{}"));
  cases.push_back(
      Silent("CurrentMissing", R"({"releases":{"windows-x64":{"1.5.0":{"url":"u"}}}})"));
  cases.push_back(
      Silent("CurrentKeyOtherCase", R"({"Current":{"stable":{"windows-x64":"1.5.0"}}})"));
  cases.push_back(Silent("CurrentString", With(R"("1.5.0")", "{}")));
  cases.push_back(Silent("CurrentArray", With(R"([{"stable":{"windows-x64":"1.5.0"}}])", "{}")));
  cases.push_back(Silent("CurrentNull", With("null", "{}")));
  cases.push_back(Silent("StableMissing", With(R"({"beta":{"windows-x64":"1.5.0"}})", "{}")));
  cases.push_back(
      Silent("StableKeyOtherCase", With(R"({"Stable":{"windows-x64":"1.5.0"}})", "{}")));
  cases.push_back(Silent("StableString", With(R"({"stable":"1.5.0"})", "{}")));
  cases.push_back(Silent("StableArray", With(R"({"stable":["windows-x64"]})", "{}")));
  cases.push_back(Silent("StableNull", With(R"({"stable":null})", "{}")));
  cases.push_back(Silent("PlatformMissing", With(R"({"stable":{"linux-x64":"1.5.0"}})",
                                                 R"({"windows-x64":{"1.5.0":{"url":"u"}}})")));
  cases.push_back(
      Silent("PlatformKeyOtherCase", With(R"({"stable":{"Windows-X64":"1.5.0"}})", "{}")));
  cases.push_back(
      Silent("PlatformKeyWithSpace", With(R"({"stable":{"windows-x64 ":"1.5.0"}})", "{}")));
  {
    // Only current.stable is read: a version under another member is ignored.
    cases.push_back(
        Silent("PlatformOnlyUnderBeta", With(R"({"beta":{"windows-x64":"1.5.0"},"stable":{}})",
                                             R"({"windows-x64":{"1.5.0":{"url":"u"}}})")));
  }

  // Row 3: the stable version is not a string -> false, the line, untouched.
  cases.push_back(VersionNotString("VersionNumber", "1.5", "number"));  // edge case: 1.5 not "1.5"
  cases.push_back(VersionNotString("VersionInteger", "150", "number"));
  cases.push_back(VersionNotString("VersionNull", "null", "null"));
  cases.push_back(VersionNotString("VersionBoolean", "true", "boolean"));
  cases.push_back(VersionNotString("VersionObject", R"({"v":"1.5.0"})", "object"));
  cases.push_back(VersionNotString("VersionArray", R"(["1.5.0"])", "array"));

  // Row 4: no release entry for the stable version -> false, silent, version written.
  cases.push_back(NoRelease("ReleasesMissing", R"({"current":)" + kStable + "}"));
  cases.push_back(NoRelease("ReleasesString", With(kStable, R"("windows-x64")")));
  cases.push_back(NoRelease("ReleasesArray", With(kStable, R"([{"windows-x64":{}}])")));
  cases.push_back(NoRelease("ReleasesNull", With(kStable, "null")));
  cases.push_back(NoRelease("ReleasesWithoutPlatform",  // edge case: stable without matching entry
                            With(kStable, R"({"linux-x64":{"1.5.0":{"url":"u"}}})")));
  cases.push_back(NoRelease("ReleasesPlatformOtherCase",
                            With(kStable, R"({"Windows-x64":{"1.5.0":{"url":"u"}}})")));
  cases.push_back(NoRelease("PlatformMemberString", With(kStable, R"({"windows-x64":"1.5.0"})")));
  cases.push_back(
      NoRelease("PlatformMemberArray", With(kStable, R"({"windows-x64":[{"url":"u"}]})")));
  cases.push_back(NoRelease("PlatformMemberNull", With(kStable, R"({"windows-x64":null})")));
  cases.push_back(
      NoRelease("NoEntryForVersion",
                With(kStable, R"({"windows-x64":{"1.4.0":{"url":"u"},"1.5.1":{"url":"u"}}})")));
  cases.push_back(NoRelease("EntryKeyHasTrailingSpace",  // edge case: "1.5.0 " is not "1.5.0"
                            With(kStable, R"({"windows-x64":{"1.5.0 ":{"url":"u"}}})")));
  cases.push_back(
      NoRelease("EntryKeyNumericallyEqual",  // keys are text, not versions
                With(kStable, R"({"windows-x64":{"01.5.0":{"url":"u"},"1.5":{"url":"u"}}})")));
  cases.push_back(NoRelease("VersionEmptyWithoutEntry",
                            With(R"({"stable":{"windows-x64":""}})", R"({"windows-x64":{}})"), ""));

  // Row 5: release entry not an object, or a member present but not a string
  // -> false, the line, outputs up to the faulty one written.
  const auto value_error = [](const char* type) {
    return ErrorLine(std::string("[json.exception.type_error.306] cannot use value() with ") +
                     type);
  };
  const auto string_error = [](const char* type) {
    return ErrorLine(std::string("[json.exception.type_error.302] type must be string, but is ") +
                     type);
  };
  for (const auto& [name, entry, type] :
       std::vector<std::tuple<std::string, std::string, const char*>>{
           {"EntryString", R"("https://x/a.exe")", "string"},
           {"EntryArray", R"(["https://x/a.exe"])", "array"},
           {"EntryNull", "null", "null"},
           {"EntryNumber", "1", "number"},
           {"EntryBoolean", "false", "boolean"}}) {
    ManifestCase c{name, WithEntry(entry), false, value_error(type)};
    c.version = "1.5.0";
    cases.push_back(c);
  }
  for (const auto& [name, value, type] :
       std::vector<std::tuple<std::string, std::string, const char*>>{
           {"UrlNumber", "1", "number"},
           {"UrlNull", "null", "null"},
           {"UrlBoolean", "true", "boolean"},
           {"UrlArray", R"(["https://x/a.exe"])", "array"},
           {"UrlObject", R"({"href":"https://x/a.exe"})", "object"}}) {
    ManifestCase c{name, WithEntry(R"({"url":)" + value + R"(,"sha256":"ab","notes":"n"})"), false,
                   string_error(type)};
    c.version = "1.5.0";
    cases.push_back(c);
  }
  for (const auto& [name, value, type] :
       std::vector<std::tuple<std::string, std::string, const char*>>{
           {"Sha256Null", "null", "null"},  // edge case: url already written
           {"Sha256Number", "12", "number"},
           {"Sha256Array", R"(["ab"])", "array"}}) {
    ManifestCase c{name,
                   WithEntry(R"({"notes":"n","sha256":)" + value + R"(,"url":"https://x/a.exe"})"),
                   false, string_error(type)};
    c.version = "1.5.0";
    c.url = "https://x/a.exe";
    cases.push_back(c);
  }
  for (const auto& [name, value, type] :
       std::vector<std::tuple<std::string, std::string, const char*>>{
           {"NotesNull", "null", "null"},
           {"NotesObject", R"({"en":"n"})", "object"},
           {"NotesBoolean", "false", "boolean"}}) {
    ManifestCase c{name, WithEntry(R"({"url":"https://x/a.exe","notes":)" + value + "}"), false,
                   string_error(type)};
    c.version = "1.5.0";
    c.url = "https://x/a.exe";
    c.sha256 = "";  // missing, so read as "" before notes
    cases.push_back(c);
  }
  {
    // A faulty url is reported even when later members are faulty as well.
    ManifestCase c{"UrlAndNotesBothFaulty", WithEntry(R"({"url":null,"notes":1})"), false,
                   string_error("null")};
    c.version = "1.5.0";
    cases.push_back(c);
  }

  // Row 6: url missing or "" -> false, silent, all four written.
  for (const auto& [name, entry, sha, notes] :
       std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
           {"UrlMissing", R"({"sha256":"ab","notes":"n"})", "ab", "n"},
           {"UrlEmpty", R"({"url":"","sha256":"ab","notes":"n"})", "ab", "n"},
           {"EntryEmptyObject", "{}", "", ""},
           {"UrlKeyOtherCase", R"({"URL":"https://x/a.exe"})", "", ""}}) {
    ManifestCase c{name, WithEntry(entry), false, ""};
    c.version = "1.5.0";
    c.url = "";
    c.sha256 = sha;
    c.notes = notes;
    cases.push_back(c);
  }

  // Row 7: anything else -> true, silent, all four written.
  const auto ok = [](std::string name, std::string text, std::string version, std::string url,
                     std::string sha, std::string notes) {
    ManifestCase c{std::move(name), std::move(text), true, ""};
    c.version = std::move(version);
    c.url = std::move(url);
    c.sha256 = std::move(sha);
    c.notes = std::move(notes);
    return c;
  };
  cases.push_back(ok("FullEntry", kGood, "1.5.0", "https://example.test/solvane/Solvane-1.5.0.exe",
                     "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", "Fixes."));
  cases.push_back(ok("UrlOnly",  // edge case: sha256 and notes ""
                     WithEntry(R"({"url":"https://x/a.exe"})"), "1.5.0", "https://x/a.exe", "",
                     ""));
  cases.push_back(ok("EmptySha256AndNotes", WithEntry(R"({"url":"u","sha256":"","notes":""})"),
                     "1.5.0", "u", "", ""));
  cases.push_back(ok("Sha256TakenAsIs",  // no validation of the digest text here
                     WithEntry(R"({"url":"u","sha256":"NOT HEX "})"), "1.5.0", "u", "NOT HEX ",
                     ""));
  cases.push_back(
      ok("EmptyVersionKeyedEmpty",  // edge case: version "" keyed ""
         With(R"({"stable":{"windows-x64":""}})", R"({"windows-x64":{"":{"url":"u"}}})"), "", "u",
         "", ""));
  cases.push_back(
      ok("VersionWithSuffixIsTheKey",
         With(R"({"stable":{"windows-x64":"1.5.0-rc.1 build 7"}})",
              R"({"windows-x64":{"1.5.0":{"url":"wrong"},"1.5.0-rc.1 build 7":{"url":"right"}}})"),
         "1.5.0-rc.1 build 7", "right", "", ""));
  cases.push_back(ok(
      "UnknownMembersEverywhere",
      R"({"schema":2,"current":{"beta":{"windows-x64":"2.0.0"},"stable":{"windows-x64":"1.5.0","x":[1]},"y":null},)"
      R"("releases":{"windows-x64":{"2.0.0":{"url":"beta"},"1.5.0":{"size":5,"url":"u","extra":{"a":[]}}},"z":1},"w":true})",
      "1.5.0", "u", "", ""));
  cases.push_back(ok("WhiteSpaceAroundValue", " \r\n\t" + kGood + "\r\n \t", "1.5.0",
                     "https://example.test/solvane/Solvane-1.5.0.exe",
                     "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", "Fixes."));
  cases.push_back(ok(
      "EscapesDecodedBeforeMatching",
      R"({"current":{"stable":{"windows\u002dx64":"1.5.0"}},)"
      R"("releases":{"windows-x64":{"1.5.0":{"url":"https:\/\/x\/a b.exe","notes":"line\nTab\t\u00e9 \"q\""}}}})",
      "1.5.0", "https://x/a b.exe", "", "line\nTab\t\xc3\xa9 \"q\""));
  cases.push_back(ok("Utf8Notes",
                     WithEntry("{\"url\":\"u\",\"notes\":\"Gr\xc3\xbc\xc3\x9f"
                               "e \xe2\x9c\x93\"}"),
                     "1.5.0", "u", "",
                     "Gr\xc3\xbc\xc3\x9f"
                     "e \xe2\x9c\x93"));
  {
    ManifestCase c = ok("OtherPlatformKey", kGood, "9.9.9", "https://x/l", "", "");
    c.platform = "linux-x64";
    cases.push_back(c);
  }
  return cases;
}

class ManifestTableTest : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(ManifestTableTest, ResultStandardErrorAndOutputs) {
  const ManifestCase& c = GetParam();
  std::string version = kUntouched, url = kUntouched, sha256 = kUntouched, notes = kUntouched;

  std::string error;
  ::testing::internal::CaptureStderr();
  const bool result = ParseManifest(c.text, c.platform, version, url, sha256, notes, &error);
  const std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(result, c.result);
  EXPECT_EQ(err, "") << "the parser hands its error over instead of printing it";
  EXPECT_EQ(ErrorLine(error), c.error_line);
  EXPECT_EQ(version, c.version);
  EXPECT_EQ(url, c.url);
  EXPECT_EQ(sha256, c.sha256);
  EXPECT_EQ(notes, c.notes);
}

INSTANTIATE_TEST_SUITE_P(FailureTable, ManifestTableTest, ::testing::ValuesIn(ManifestCases()),
                         [](const ::testing::TestParamInfo<ManifestCase>& info) {
                           return info.param.name;
                         });

TEST(ManifestTest, ParseErrorLineIsOneLineWithTheLibraryText) {
  std::string version, url, sha256, notes, error;
  EXPECT_FALSE(ParseManifest("{} {}", kPlatform, version, url, sha256, notes, &error));
  const std::string err = ErrorLine(error);
  ASSERT_EQ(err.rfind(kLinePrefix, 0), 0u) << err;
  EXPECT_NE(err.find("[json.exception.parse_error.101]"), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

TEST(ManifestTest, CallersEmptyStringsStayEmptyOnSilentFailure) {
  // How the workflows call it: outputs start as "".
  std::string version, url, sha256, notes;
  EXPECT_FALSE(ParseManifest(R"({"current":{}})", kPlatform, version, url, sha256, notes));
  EXPECT_EQ(version + url + sha256 + notes, "");
}

TEST(ManifestTest, SameTextParsesTheSameEveryTime) {
  for (int i = 0; i < 3; ++i) {
    std::string version, url, sha256, notes;
    ASSERT_TRUE(ParseManifest(kGood, kPlatform, version, url, sha256, notes));
    EXPECT_EQ(version, "1.5.0");
  }
}

TEST(ManifestTest, OneReadKeepsOnlyWhatTheReleasesAndTheSignedMembersUse) {
  const std::string digest(64, 'b');
  // The release entry before the stable version, and a stable version that
  // a repeated member changes after the entries were passed.
  for (
      const std::string& text :
      {R"({"releases":{"windows-x64":{"1.4.0":{"url":"old"},"1.5.0":{"url":"u","sha256":")" +
           digest + R"(","size":9}}},"other":[1,2],"serial":3,"expires":"2099-01-01T00:00:00Z",)" +
           R"("current":{"stable":{"windows-x64":"1.5.0"}}})",
       R"({"current":{"stable":{"windows-x64":"1.4.0"}},"serial":3,"expires":"2099-01-01T00:00:00Z",)"
       R"("releases":{"windows-x64":{"1.4.0":{"url":"old"},"1.5.0":{"url":"u","sha256":")" +
           digest + R"(","size":9}}},"current":{"stable":{"windows-x64":"1.5.0"}}})"}) {
    const ManifestDocument document = ReadManifestDocument(text, kPlatform);
    EXPECT_EQ(document.error, "");
    EXPECT_EQ(document.kept["releases"]["windows-x64"],
              (Json{{"1.4.0", {{"url", "old"}}},
                    {"1.5.0", {{"url", "u"}, {"sha256", digest}, {"size", 9}}}}))
        << text;
    EXPECT_FALSE(document.kept.contains("other"));

    std::string version, url, sha256, notes, reason;
    ASSERT_TRUE(ParseManifest(document, kPlatform, version, url, sha256, notes)) << text;
    EXPECT_EQ(version + " " + url + " " + sha256, "1.5.0 u " + digest);
    const std::optional<SignedMembers> members =
        CheckSignedMembers(document, kPlatform, 0, 1796700000, reason);
    ASSERT_TRUE(members) << reason;
    EXPECT_EQ(members->serial, 3);
  }
}

TEST(ManifestTest, DeeplyNestedAndLargeInputsDoNotCrash) {
  std::string version, url, sha256, notes;
  const std::string open(100000, '['), close(100000, ']');

  // Past the nesting limit the text is refused before the parser builds it,
  // whether or not it would have been valid, with one parse-error line.
  const std::string kTooDeep = ErrorLine("nested deeper than 256 levels");
  for (const std::string& text :
       {open, open + close, R"({"x":)" + open + close + "," + kGood.substr(1)}) {
    std::string error;
    EXPECT_FALSE(ParseManifest(text, kPlatform, version, url, sha256, notes, &error));
    EXPECT_EQ(ErrorLine(error), kTooDeep);
  }
  EXPECT_EQ(version, "");

  // A deep member that is ignored (255 levels inside the top object), then a
  // valid release; brackets inside strings do not count.
  const std::string member = std::string(255, '[') + "\"[[[[\"" + std::string(255, ']');
  std::string error;
  EXPECT_TRUE(ParseManifest(R"({"x":)" + member + "," + kGood.substr(1), kPlatform, version, url,
                            sha256, notes, &error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(version, "1.5.0");
  version.clear();
  EXPECT_FALSE(ParseManifest(R"({"x":[)" + member + "]," + kGood.substr(1), kPlatform, version, url,
                             sha256, notes, &error));
  EXPECT_EQ(ErrorLine(error), kTooDeep);

  // Large: 4 MiB of notes and 5000 other platforms.
  std::string big = R"({"current":{"stable":{"windows-x64":"1.5.0")";
  for (int i = 0; i < 5000; ++i)
    big += ",\"p" + std::to_string(i) + "\":\"1.0." + std::to_string(i) + "\"";
  big += R"(}},"releases":{"windows-x64":{"1.5.0":{"url":"u","notes":")" +
         std::string(4 << 20, 'n') + "\"}}}}";
  notes.clear();
  EXPECT_TRUE(ParseManifest(big, kPlatform, version, url, sha256, notes));
  EXPECT_EQ(notes.size(), std::size_t{4} << 20);
}

// ---------------------------------------------------------------------------
// CompareVersions and ReadVersion.
// ---------------------------------------------------------------------------

int Sign(int v) { return (v > 0) - (v < 0); }

struct VersionCase {
  const char* a;
  const char* b;
  int sign;
};

void ExpectCompare(const VersionCase& c) {
  SCOPED_TRACE(std::string("a=\"") + c.a + "\" b=\"" + c.b + "\"");
  EXPECT_EQ(Sign(CompareVersions(c.a, c.b)), c.sign);
  EXPECT_EQ(Sign(CompareVersions(c.b, c.a)), -c.sign);
  EXPECT_EQ(CompareVersions(c.a, c.a), 0);
  EXPECT_EQ(CompareVersions(c.b, c.b), 0);
}

TEST(CompareVersionsTest, NumbersCompareByValueAndMisfitsReadAsZero) {
  const VersionCase cases[] = {
      {"1.10.0", "1.9.3", +1},                              // numbers, not text
      {"01.02.03", "1.2.3", 0},                             // leading zeros
      {"1.2", "1.2.0", 0},                                  // missing component is 0
      {"1.2.3-beta", "1.2.3", 0}, {"1.2.3.4", "1.2.3", 0},  // a fourth component is ignored
      {"2", "1.9.9", +1},         {"V2.0.0", "0.0.1", -1},  // a leading letter reads as 0.0.0
      {"", "0.0.0", 0},           {"1.-1.0", "1.0.0", -1},  // signs allowed
  };
  for (const auto& c : cases) ExpectCompare(c);
}

TEST(CompareVersionsTest, ReadingRules) {
  const VersionCase cases[] = {
      {"1.2.4", "1.2.3", +1},   {"2.0.0", "1.99.99", +1},
      {"1.3.0", "1.2.99", +1},  {" \t\n1.2.3", "1.2.3", 0},  // white space before the first number
      {"1. 2.\t3", "1.2.3", 0},                              // ...and before each later one
      {"1 .2.3", "1.0.0", 0},                                // '.' must follow the digits directly
      {"1..2", "1.0.0", 0},                                  // stops at the first misfit
      {"1.2.x", "1.2.0", 0},    {"1.2.3 beta", "1.2.3", 0},
      {"+1.+2.+3", "1.2.3", 0}, {"1.2.-0", "1.2.0", 0},
      {"-1", "0", -1},          {"-1.5", "-1.4", +1},
      {".1", "0.0.0", 0},       {"abc", "", 0},
      {"- 1", "0.0.0", 0},                             // no white space between sign and digits
      {"1.2.3\n", "1.2.3", 0},  {"0x10", "0.0.0", 0},  // decimal only: reads 0, stops at 'x'
      {"1e3", "1.0.0", 0},
  };
  for (const auto& c : cases) ExpectCompare(c);
}

TEST(CompareVersionsTest, ComponentsBeyond32BitsClamp) {
  const VersionCase cases[] = {
      {"99999999999.0.0", "2147483647.0.0", 0},
      {"2147483648", "2147483647", 0},
      {"-99999999999", "-2147483648", 0},
      {"-2147483649", "-2147483648", 0},
      {"1.99999999999999999999999999999999.7", "1.2147483647.7", 0},
      {"0000000000000000000002147483647", "2147483647", 0},  // leading zeros are not overflow
      {"00000000000000000000000000000001.2", "1.2", 0},
      // Clamped values still order correctly.
      {"99999999999.0.0", "2147483646.9.9", +1},
      {"-99999999999", "-2147483647", -1},
      {"-2147483648", "-2147483647", -1},  // the minimum itself is representable
      {"99999999999", "-99999999999", +1},
      {"99999999999.1", "99999999999.0", +1},  // later components still read
      {"1.99999999999.0", "1.99999999999.1", -1},
      {"1.2.99999999999999999999", "1.3", -1},
  };
  for (const auto& c : cases) ExpectCompare(c);
  // Thousands of digits: no overflow, no undefined behaviour.
  const std::string huge = std::string(5000, '9');
  EXPECT_EQ(CompareVersions(huge + "." + huge + "." + huge, "2147483647.2147483647.2147483647"), 0);
  EXPECT_EQ(CompareVersions("-" + huge, "-2147483648"), 0);
}

TEST(ReadVersionTest, ComponentsReadAndValues) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  struct Case {
    const char* text;
    int read;
    std::int32_t p0, p1, p2;
  };
  const Case cases[] = {
      {"", 0, 0, 0, 0},
      {"V2.0.0", 0, 0, 0, 0},
      {"-", 0, 0, 0, 0},
      {"+.1", 0, 0, 0, 0},
      {" ", 0, 0, 0, 0},
      {"1", 1, 1, 0, 0},
      {"1.", 1, 1, 0, 0},
      {"1.x", 1, 1, 0, 0},
      {"1 .2", 1, 1, 0, 0},
      {"1.-", 1, 1, 0, 0},
      {"1.2", 2, 1, 2, 0},
      {"1.2.", 2, 1, 2, 0},
      {"1.2.3", 3, 1, 2, 3},
      {"1.2.3.4", 3, 1, 2, 3},
      {"1.2.3-beta", 3, 1, 2, 3},
      {" 1. 2. 3", 3, 1, 2, 3},
      {"1.-1.0", 3, 1, -1, 0},
      {"01.02.03", 3, 1, 2, 3},
      {"99999999999.1", 2, kMax, 1, 0},
      {"-99999999999.1.-99999999999", 3, kMin, 1, kMin},
      {"2147483647.-2147483648", 2, kMax, kMin, 0},
      {"2147483648.-2147483649", 2, kMax, kMin, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    const VersionNumber v = ReadVersion(c.text);
    EXPECT_EQ(v.components_read, c.read);
    EXPECT_EQ(v.parts[0], c.p0);
    EXPECT_EQ(v.parts[1], c.p1);
    EXPECT_EQ(v.parts[2], c.p2);
  }
}

TEST(ReadVersionTest, MatchesSscanfWithinRange) {
  // Within the 32-bit range the reading is exactly "%d.%d.%d".
  const char* const texts[] = {"",
                               "1",
                               "1.2",
                               "1.2.3",
                               "1.2.3.4",
                               " 1. 2. 3",
                               "1 .2",
                               "1..2",
                               "+1.-2.+3",
                               "- 1",
                               "-1",
                               "1.2.3-rc",
                               "V1",
                               "\t\v\f\r1.2",
                               "1.\n2",
                               "0x1.2",
                               "007.008.009",
                               "1.2.x3",
                               "2147483647.-2147483648.0",
                               ".",
                               "1.",
                               "1.2.",
                               "++1",
                               "1.+-2"};
  for (const char* text : texts) {
    SCOPED_TRACE(std::string("\"") + text + "\"");
    int p[3] = {0, 0, 0};
    int n = std::sscanf(text, "%d.%d.%d", &p[0], &p[1], &p[2]);
    if (n == EOF) n = 0;
    const VersionNumber v = ReadVersion(text);
    EXPECT_EQ(v.components_read, n);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(v.parts[i], p[i]) << "component " << i;
  }
}

}  // namespace
}  // namespace solvane
