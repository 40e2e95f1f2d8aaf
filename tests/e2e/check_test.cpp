// --check (and the update cycle with --apply) through the real program
// against a release server on loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <limits>
#include <regex>

#include "platform/clock.h"
#include "release/signed_members.h"
#include "state/records.h"
#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

class CheckTest : public ProgramTest {
 protected:
  std::string Marker() const { return Home() + "/installer-ran"; }
  std::string Installer() const { return InstallerScript(Marker()); }

  // Publishes version 1.5.0 of the installer script, verified by default.
  void Publish(const std::string& version = "1.5.0", bool with_digest = true,
               const std::string& path = kInstallerPath) {
    const std::string digest = Sha256Of(Installer());
    server_->Serve(kManifestPath,
                   ManifestFor(version, ReleaseUrl(path).c_str(),
                               with_digest ? digest.c_str() : nullptr, "Faster sync"));
    server_->Serve(path, Installer());
  }

  ProgramRun Check(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--check"};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(Home(), all);
  }

  void WriteState(const Json& state) { WriteFile(StateFile(), state.dump()); }
};

const std::string kFetchStart = "check: manifest url=" + ReleaseUrl(kManifestPath);
// Each transfer's route, logged as it ends; no proxy is set in these runs.
const std::string kRouteDirect = "FetchManifest: route direct";

TEST_F(CheckTest, StagesANewerVerifiedRelease) {
  Publish();
  const std::int64_t before = UnixNow();
  const auto run = Check({"1.4.0"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stderr_text, "");
  EXPECT_EQ(LogMessages(Home()), (Messages{"check: current=1.4.0 force=0", kFetchStart,
                                           kRouteDirect, "check: update available 1.4.0 -> 1.5.0",
                                           kRouteDirect, "check: staged 1.5.0"}));

  const Json state = State();
  EXPECT_GE(state["last_check"].get<std::int64_t>(), before);
  const std::string installer = Updates() + "/Solvane-1.5.0.sh";
  EXPECT_EQ(state["staged"]["installer"], installer);
  EXPECT_EQ(state["staged"]["version"], "1.5.0");
  EXPECT_EQ(state["staged"]["sha256"], Sha256Of(Installer()));
  EXPECT_EQ(state["staged"]["notes"], "Faster sync");
  EXPECT_EQ(state["staged"]["date"], FormatUtcTime(UnixNow()).substr(0, 10));
  EXPECT_EQ(ReadFile(installer), Installer());
}

TEST_F(CheckTest, RecentCheckIsSkippedWithoutTouchingAnything) {
  Publish();
  WriteState(Json{{"last_check", UnixNow() - 100}});
  const std::string before = ReadFile(StateFile());
  EXPECT_EQ(Check({"1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(Home()),
            (Messages{"check: current=1.4.0 force=0", "check: skipped (within 24h interval)"}));
  EXPECT_EQ(ReadFile(StateFile()), before);
  EXPECT_EQ(server_->Hits(kManifestPath), 0);

  // Forced, the same state checks at once.
  EXPECT_EQ(Check({"1.4.0", "--force"}).exit_code, 0);
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
}

// A daily start finds a day less the minutes its last check took: the check
// is due 23 hours after the last one.
TEST_F(CheckTest, IntervalBoundaryIsADayLessAnHour) {
  Publish("1.0.0");  // not newer: the check ends "up to date"
  WriteState(Json{{"last_check", UnixNow() - 82800}});
  Check({"1.4.0"});
  EXPECT_EQ(LogMessages(Home()).back(), "check: up to date");

  // One second less is skipped. Retry when the clock ticked during the run.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::filesystem::remove(Updates() + "/SolvaneSetup.log");
    const std::int64_t now = UnixNow();
    WriteState(Json{{"last_check", now - 82799}});
    Check({"1.4.0"});
    if (UnixNow() != now) continue;
    EXPECT_EQ(LogMessages(Home()).back(), "check: skipped (within 24h interval)");
    break;
  }

  // A last check up to one interval in the future counts as recent ...
  std::filesystem::remove(Updates() + "/SolvaneSetup.log");
  WriteState(Json{{"last_check", UnixNow() + 86000}});
  Check({"1.4.0"});
  EXPECT_EQ(LogMessages(Home()).back(), "check: skipped (within 24h interval)");

  // ... but one further ahead (a clock that once ran years ahead) is stale:
  // the check runs and stores the real time.
  for (const std::int64_t ahead : {std::int64_t{86400 + 100}, std::int64_t{10} * 365 * 86400,
                                   std::numeric_limits<std::int64_t>::max()}) {
    std::filesystem::remove(Updates() + "/SolvaneSetup.log");
    WriteState(
        Json{{"last_check",
              ahead == std::numeric_limits<std::int64_t>::max() ? ahead : UnixNow() + ahead}});
    const std::int64_t before = UnixNow();
    Check({"1.4.0"});
    EXPECT_EQ(LogMessages(Home()).back(), "check: up to date") << ahead;
    EXPECT_GE(State()["last_check"].get<std::int64_t>(), before);
    EXPECT_LE(State()["last_check"].get<std::int64_t>(), UnixNow());
  }
}

TEST_F(CheckTest, UnusableLastCheckValuesCountAsNeverChecked) {
  Publish("1.0.0");
  for (const Json& value : {Json("yesterday"), Json(nullptr), Json::array(), Json(-9.2e18)}) {
    std::filesystem::remove(Updates() + "/SolvaneSetup.log");
    WriteState(Json{{"last_check", value}});
    Check({"1.4.0"});
    EXPECT_EQ(LogMessages(Home()).back(), "check: up to date") << value;
  }
  // A document that is not an object is read as empty and replaced.
  WriteFile(StateFile(), "[1, 2]");
  Check({"1.4.0"});
  EXPECT_TRUE(State().is_object());
  EXPECT_TRUE(State().contains("last_check"));
}

// nlohmann-json's words for the two bodies below that are not JSON.
const std::string kEmptyJsonError =
    "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while parsing "
    "value - unexpected end of input; expected '[', '{', or a literal";
const std::string kCommentJsonError =
    "[json.exception.parse_error.101] parse error at line 1, column 13: syntax error while parsing "
    "value - invalid literal; last read: '\"current\": /'";

struct FailureRow {
  const char* name;
  std::function<void(ReleaseServer&)> script;
  Messages tail;  // log lines after the fetch starts
  bool parse_error_on_stderr = false;
};

TEST_F(CheckTest, EveryFailureLogsItsLinesUpdatesLastCheckAndExitsZero) {
  const std::string digest = Sha256Of(Installer());
  const std::string manifest_url = ReleaseUrl(kManifestPath);
  const std::string newer =
      ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(), digest.c_str(), "n");
  const FailureRow rows[] = {
      // Fetched, so parsed: the empty text is a JSON error.
      {"empty 200 body",
       [](ReleaseServer& s) { s.Serve(kManifestPath, ""); },
       {"check: manifest unusable: " + kEmptyJsonError},
       true},
      {"empty 500 body",
       [](ReleaseServer& s) { s.Serve(kManifestPath, "", 500); },
       {"check: manifest fetch failed: HTTP 500"}},
      {"404 page",
       [](ReleaseServer&) {},  // the server's own 404 page
       {"check: manifest fetch failed: HTTP 404"}},
      {"cut short after part of the body",
       [](ReleaseServer& s) {
         s.Handle(kManifestPath, [](const httplib::Request&, httplib::Response& response) {
           response.set_content_provider(
               1000, "application/json",
               [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                 if (offset == 0) sink.write("{\"current\":", 11);
                 return offset == 0;
               });
         });
       },
       {"FetchManifest: Fetch failed for " + manifest_url + " curl=18 (Transferred a partial file)",
        "check: manifest fetch failed: connection lost after 11 bytes"}},
      {"not JSON",
       [](ReleaseServer& s) { s.Serve(kManifestPath, "{\"current\": // no\n}"); },
       {"check: manifest unusable: " + kCommentJsonError},
       true},
      // A member of the wrong type in the stable release's entry makes the
      // whole manifest unreadable, not just that release.
      {"sha256 not a string",
       [](ReleaseServer& s) {
         s.Serve(kManifestPath, std::string(R"({"current": {"stable": {")") +
                                    SOLVANE_TEST_PLATFORM_KEY + R"(": "1.5.0"}}, "releases": {")" +
                                    SOLVANE_TEST_PLATFORM_KEY +
                                    R"(": {"1.5.0": {"url": "x", "sha256": 5}}}})");
       },
       {"check: manifest unusable: [json.exception.type_error.302] type must be string, but is "
        "number"},
       true},
      {"no release for the platform",
       [](ReleaseServer& s) {
         s.Serve(kManifestPath, R"({"current": {"stable": {"elsewhere": "9.0.0"}}})");
       },
       {std::string("check: no release for ") + SOLVANE_TEST_PLATFORM_KEY}},
      {"not newer",
       [&](ReleaseServer& s) {
         s.Serve(kManifestPath,
                 ManifestFor("1.4.0", ReleaseUrl(kInstallerPath).c_str(), digest.c_str(), "n"));
       },
       {"check: up to date"}},
      {"installer 404",
       [&](ReleaseServer& s) { s.Serve(kManifestPath, newer); },
       {"check: update available 1.4.0 -> 1.5.0", kRouteDirect,
        "check: download/verify failed for 1.5.0: HTTP 404"}},
      {"digest mismatch",
       [&](ReleaseServer& s) {
         s.Serve(kManifestPath, newer);
         s.Serve(kInstallerPath, "#!/bin/sh\necho tampered\n");
       },
       {"check: update available 1.4.0 -> 1.5.0", kRouteDirect,
        "check: download/verify failed for 1.5.0: digest mismatch"}},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir home;
    server_->Handle(kManifestPath, nullptr);
    server_->Handle(kInstallerPath, nullptr);
    row.script(*server_);
    // A sound earlier stage: its file is there and still verifies.
    const std::string old_installer = UpdatesDirIn(home.str()) + "/old.sh";
    WriteFile(old_installer, "#!/bin/sh\n");
    const Json earlier_stage = {
        {"version", "1.4.5"}, {"installer", old_installer}, {"sha256", Sha256Of("#!/bin/sh\n")}};
    WriteFile(UpdatesDirIn(home.str()) + "/Updates.json",
              Json{{"last_check", 5}, {"staged", earlier_stage}}.dump());

    const std::int64_t before = UnixNow();
    const auto run = RunProgram(home.str(), {"--check", "1.4.0"});
    EXPECT_EQ(run.exit_code, 0);
    Messages expected{"check: current=1.4.0 force=0",
                      "check: manifest url=" + ReleaseUrl(kManifestPath), kRouteDirect};
    expected.insert(expected.end(), row.tail.begin(), row.tail.end());
    EXPECT_EQ(LogMessages(home.str()), expected);
    EXPECT_EQ(run.stderr_text.rfind("SolvaneSetup: manifest parse error -- ", 0) == 0,
              row.parse_error_on_stderr)
        << run.stderr_text;

    const Json state = Json::parse(ReadFile(UpdatesDirIn(home.str()) + "/Updates.json"));
    EXPECT_GE(state["last_check"].get<std::int64_t>(), before);
    EXPECT_EQ(state["staged"], earlier_stage);
    EXPECT_EQ(ReadFile(old_installer), "#!/bin/sh\n");
    EXPECT_FALSE(std::filesystem::exists(UpdatesDirIn(home.str()) + "/Solvane-1.5.0.sh"));
    EXPECT_FALSE(std::filesystem::exists(UpdatesDirIn(home.str()) + "/Solvane-1.5.0.sh.partial"));
  }
}

TEST_F(CheckTest, UnreachableServerLogsTheTransportError) {
  server_.reset();  // nothing listens on the port any more
  EXPECT_EQ(Check({}).exit_code, 0);
  EXPECT_EQ(LogMessages(Home()),
            (Messages{"check: current=0.0.0 force=0", kFetchStart, kRouteDirect,
                      "FetchManifest: Fetch failed for " + ReleaseUrl(kManifestPath) +
                          " curl=7 (Couldn't connect to server)",
                      "check: manifest fetch failed: cannot connect"}));
  EXPECT_TRUE(State().contains("last_check"));
}

TEST_F(CheckTest, VersionsCompareNumericallyAgainstTheDefault) {
  // Without a version the check compares against 0.0.0.
  Publish("0.0.1");
  Check({});
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 0.0.1");

  // 1.10.0 is newer than 1.9.3.
  Publish("1.10.0");
  Check({"1.9.3", "--force"});
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.10.0");

  // A version starting with a letter reads as 0.0.0: not newer.
  Publish("V2.0.0");
  Check({"--force-is-a-version", "x", "--force"});
  EXPECT_EQ(LogMessages(Home()).back(), "check: up to date");
}

TEST_F(CheckTest, ReleaseWithoutDigestIsStagedUnverified) {
  Publish("1.5.0", /*with_digest=*/false);
  Check({"1.4.0"});
  EXPECT_EQ(State()["staged"]["sha256"], "");
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
}

TEST_F(CheckTest, NewerReleaseReplacesTheStagedRecordAndRemovesTheOldFile) {
  Publish("1.5.0");
  Check({"1.4.0"});
  Publish("1.6.0", true, "/solvane/releases/1.6.0/Solvane-1.6.0.sh");
  Check({"1.4.0", "--force"});
  EXPECT_EQ(State()["staged"]["version"], "1.6.0");
  EXPECT_EQ(State()["staged"]["installer"], Updates() + "/Solvane-1.6.0.sh");
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh"));
  EXPECT_EQ(ReadFile(Updates() + "/Solvane-1.6.0.sh"), Installer());
}

TEST_F(CheckTest, FileNameIsTheLastPathSegmentWithoutQueryOrFragment) {
  const std::string digest = Sha256Of(Installer());
  server_->Serve("/solvane/dl/Solvane-1.5.0.sh", Installer());
  server_->Serve(
      kManifestPath,
      ManifestFor("1.5.0", ReleaseUrl("/solvane/dl/Solvane-1.5.0.sh?token=a/b&x=1#part").c_str(),
                  digest.c_str(), ""));
  Check({"1.4.0"});
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
  EXPECT_EQ(State()["staged"]["installer"], Updates() + "/Solvane-1.5.0.sh");
}

TEST_F(CheckTest, UnsafeFileNamesAreFailedDownloadsThatTouchNothing) {
  const char* const paths[] = {"/solvane/dl/",   "/solvane/dl/C:evil.sh", "/solvane/dl/a%5Cb\\c.sh",
                               "/solvane/dl/..", "/solvane/dl/NUL.sh",    "/solvane/dl/x.sh."};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    std::filesystem::remove(Updates() + "/SolvaneSetup.log");
    server_->Serve(kManifestPath, ManifestFor("1.5.0", ReleaseUrl(path).c_str(), nullptr, ""));
    Check({"1.4.0", "--force"});
    EXPECT_EQ(LogMessages(Home()).back(),
              "check: download/verify failed for 1.5.0: unusable file name");
    EXPECT_FALSE(State().contains("staged"));
  }
  EXPECT_EQ(server_->Hits("/solvane/dl/"), 0);
  EXPECT_TRUE(std::filesystem::is_directory(Updates()));
}

// The whole update cycle: stage, skip, force, apply, apply again, tamper.
TEST_F(CheckTest, WholeUpdateCycle) {
  Publish();
  WriteState(Json{{"release_notes", {{"version", "1.4.0"}, {"notes", "Initial"}}}});
  EXPECT_EQ(Check({"1.4.0"}).exit_code, 0);

  const std::string installer = Updates() + "/Solvane-1.5.0.sh";
  const std::regex layout(
      "\\{\n"
      "   \"last_check\": \\d+,\n"
      "   \"release_notes\": \\{\n"
      "      \"notes\": \"Initial\",\n"
      "      \"version\": \"1\\.4\\.0\"\n"
      "   \\},\n"
      "   \"rollout_draw\": \\d+,\n"
      "   \"staged\": \\{\n"
      "      \"date\": \"\\d{4}-\\d{2}-\\d{2}\",\n"
      "      \"installer\": \"" +
      std::regex_replace(installer, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
      "\",\n"
      "      \"notes\": \"Faster sync\",\n"
      "      \"sha256\": \"[0-9a-f]{64}\",\n"
      "      \"version\": \"1\\.5\\.0\"\n"
      "   \\}\n"
      "\\}\n");
  EXPECT_TRUE(std::regex_match(ReadFile(StateFile()), layout)) << ReadFile(StateFile());

  EXPECT_EQ(Check({"1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(Home()).back(), "check: skipped (within 24h interval)");
  // What is staged and still verifies is not downloaded again.
  EXPECT_EQ(Check({"1.4.0", "--force"}).exit_code, 0);
  EXPECT_EQ(LogMessages(Home()).back(), "check: already staged 1.5.0");
  EXPECT_EQ(server_->Hits(kInstallerPath), 1);

  EXPECT_EQ(RunProgram(Home(), {"--apply"}).exit_code, 0);
  ASSERT_TRUE(WaitForFile(Marker()));
  const Json state = State();
  EXPECT_FALSE(state.contains("staged"));
  EXPECT_EQ(state["release_notes"], Json({{"version", "1.5.0"}, {"notes", "Faster sync"}}));
  EXPECT_EQ(RunProgram(Home(), {"--apply"}).exit_code, 1);

  // A staged file swapped after verification is refused and kept on record.
  std::filesystem::remove(Marker());
  Check({"1.4.0", "--force"});
  WriteFile(installer, "#!/bin/sh\necho evil > '" + Marker() + "'\n");
  const std::string before = ReadFile(StateFile());
  EXPECT_EQ(RunProgram(Home(), {"--apply"}).exit_code, 1);
  EXPECT_EQ(ReadFile(StateFile()), before);
  EXPECT_FALSE(std::filesystem::exists(Marker()));
}

}  // namespace
}  // namespace solvane
