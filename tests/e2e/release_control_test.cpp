// What the vendor's signed manifest decides per installation, through the
// signed test build against the loopback server: channels, a staged rollout
// (and that a client outside it downloads nothing), critical releases, and
// withdrawn releases taken back from the updates folder, and releases that
// need a newer system or are only announced; then the administrator's
// machine policies, through the test build that reads its policy file from
// the build folder, and a link that build finds metered.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "platform/system_version.h"
#include "release/signed_members.h"
#include "tests/e2e/e2e_support.h"

namespace solvane {
namespace {

using namespace testing;
using Json = nlohmann::json;

constexpr std::uint32_t kDrawAtSeventyPercent = 3006477107u;  // 0.7 * 2^32

class ReleaseControlTest : public ProgramTest {
 protected:
  std::string Path(const std::string& version) const {
    return "/solvane/releases/" + version +
           (one_name_ ? "/Setup.sh" : "/Solvane-" + version + ".sh");
  }
  std::string Installer(const std::string& version) const {
    return InstallerScript(Home() + "/ran-" + version);
  }

  // Serves every listed version's installer and the manifest, signed with a
  // test key; each publication raises the serial, as the vendor tool does.
  // `entries` maps versions to the members beside url, sha256 and notes.
  void Publish(const Json& current, const Json& entries, const Json& more = Json::object()) {
    Json releases = Json::object();
    for (const auto& [version, members] : entries.items()) {
      Json entry = members;
      entry["url"] = ReleaseUrl(Path(version));
      entry["sha256"] = Sha256Of(Installer(version));
      entry["size"] = Installer(version).size();
      entry["notes"] = "notes of " + version;
      releases[version] = entry;
      server_->Serve(Path(version), Installer(version));
    }
    Json manifest = {{"serial", ++serial_},
                     {"expires", FormatUtcTime(UnixNow() + 86400)},
                     {"current", current},
                     {"releases", {{SOLVANE_TEST_PLATFORM_KEY, releases}}}};
    manifest.update(more);
    const std::string text = manifest.dump(2);
    TempDir work;
    WriteFile(work.str() + "/m.json", text);
    const ToolRun signing = RunTool({SOLVANE_MINISIGN_PROGRAM, "-S", "-s",
                                     std::string(SOLVANE_TEST_KEYS_DIR) + "/release-1.key", "-m",
                                     work.str() + "/m.json"});
    ASSERT_EQ(signing.exit_code, 0) << signing.err;
    published_ = {text, ReadFile(work.str() + "/m.json.minisig")};
    Serve(published_);
  }

  // Serves a publication's manifest and signature.
  void Serve(const std::pair<std::string, std::string>& publication) {
    server_->Serve(kManifestPath, publication.first);
    server_->Serve(kManifestPath + ".minisig", publication.second);
  }

  static Json Stable(const std::string& version) {
    return {{"stable", {{SOLVANE_TEST_PLATFORM_KEY, version}}}};
  }

  // A forced check of the signed build; the log lines it wrote.
  Messages Check(const std::string& installed, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--check", installed, "--force"};
    args.insert(args.end(), more.begin(), more.end());
    return RunLogged(SOLVANE_TEST_SIGNED_PROGRAM, args);
  }

  // A run of `program`; the log lines it wrote.
  Messages RunLogged(const char* program, const std::vector<std::string>& args) {
    const std::size_t before = WorkflowMessages(Home()).size();
    EXPECT_EQ(RunProgramAt(program, Home(), args).exit_code, 0);
    const Messages log = WorkflowMessages(Home());
    return Messages(log.begin() + static_cast<std::ptrdiff_t>(before), log.end());
  }

  // A check of the test build that reads the policy file.
  Messages PolicyCheck(const std::string& installed, bool force = true) {
    std::vector<std::string> args{"--check", installed};
    if (force) args.push_back("--force");
    return RunLogged(SOLVANE_TEST_POLICY_PROGRAM, args);
  }

  void SetDraw(std::uint32_t draw) { WriteFile(StateFile(), Json{{"rollout_draw", draw}}.dump()); }

  static bool Logged(const Messages& log, const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  int serial_ = 0;
  std::pair<std::string, std::string> published_;  // the last manifest and signature
  bool one_name_ = false;                          // every installer is named Setup.sh
};

TEST_F(ReleaseControlTest, AChannelTakesTheNewerOfItsReleaseAndStable) {
  Json current = Stable("1.5.0");
  current["beta"] = {{SOLVANE_TEST_PLATFORM_KEY, "1.6.0"}};
  Publish(current, {{"1.5.0", Json::object()}, {"1.6.0", {{"channel", "beta"}}}});

  EXPECT_TRUE(Logged(Check("1.4.0", {"--channel", "beta"}), "check: staged 1.6.0"));
  // Without the channel, or with one the manifest lacks, only stable counts;
  // the beta release is not offered even as an earlier release.
  std::filesystem::remove_all(Updates());
  EXPECT_TRUE(Logged(Check("1.4.0"), "check: staged 1.5.0"));
  std::filesystem::remove_all(Updates());
  const Messages nightly = Check("1.4.0", {"--channel", "nightly"});
  EXPECT_TRUE(Logged(nightly, "check: channel nightly not in the manifest; stable only"));
  EXPECT_TRUE(Logged(nightly, "check: staged 1.5.0"));
}

TEST_F(ReleaseControlTest, AClientOutsideARolloutDownloadsNothingOfItUntilTheShareReachesIt) {
  SetDraw(kDrawAtSeventyPercent);
  Publish(Stable("1.6.0"),
          {{"1.5.0", Json::object()}, {"1.6.0", {{"rollout", {{"percent", 50}}}}}});
  Messages log = Check("1.4.0");
  EXPECT_TRUE(Logged(log, "check: outside the rollout of 1.6.0 (50%)"));
  EXPECT_TRUE(Logged(log, "check: staged 1.5.0")) << "the release before still reaches it";
  log = Check("1.5.0");
  EXPECT_TRUE(Logged(log, "check: nothing offered to this installation"));
  EXPECT_EQ(server_->Hits(Path("1.6.0")), 0);

  Publish(Stable("1.6.0"), {{"1.6.0", {{"rollout", {{"percent", 80}}}}}});
  EXPECT_TRUE(Logged(Check("1.5.0"), "check: staged 1.6.0"));
  EXPECT_EQ(State()["rollout_draw"], kDrawAtSeventyPercent);
  EXPECT_FALSE(State()["staged"].contains("critical"));
  // A critical release skips its rollout and is staged as critical.
  Publish(Stable("1.7.0"), {{"1.7.0", {{"rollout", {{"percent", 0}}}, {"critical", true}}}});
  EXPECT_TRUE(Logged(Check("1.6.0"), "check: staged 1.7.0"));
  EXPECT_EQ(State()["staged"]["critical"], true);
}

TEST_F(ReleaseControlTest, AWithdrawnReleaseIsTakenBackAndNeverStarted) {
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  ASSERT_TRUE(Logged(Check("1.5.0"), "check: staged 1.6.0"));
  const std::string installer = State()["staged"]["installer"];
  ASSERT_TRUE(std::filesystem::exists(installer));
  // A partial download of it, as an interrupted check would leave.
  const std::string partial = Updates() + "/Solvane-1.6.0.sh.partial";
  WriteFile(partial, "#!/bin/sh\n");
  Json state = State();
  state["partial"] = Json::parse(R"({"bytes": 10, "validator": "\"v1\"", "sha256": ""})");
  state["partial"]["url"] = ReleaseUrl(Path("1.6.0"));
  state["partial"]["file"] = partial;
  WriteFile(StateFile(), state.dump());

  Publish(Stable("1.6.0"), {{"1.6.0", {{"withdrawn", true}}}});
  const Messages log = Check("1.5.0");
  EXPECT_TRUE(Logged(log, "check: staged 1.6.0 withdrawn"));
  EXPECT_TRUE(Logged(log, "check: 1.6.0 withdrawn"));
  EXPECT_FALSE(std::filesystem::exists(installer));
  EXPECT_FALSE(std::filesystem::exists(partial));
  EXPECT_FALSE(State().contains("staged") || State().contains("partial"));
  (void)RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {"--apply"});
  EXPECT_FALSE(std::filesystem::exists(Home() + "/ran-1.6.0"));
}

// A state file set aside as damaged takes neither the serial nor the draw
// with it: an older signed manifest replayed afterwards is still refused.
TEST_F(ReleaseControlTest, TheTrustFloorSurvivesAStateFileSetAside) {
  SetDraw(kDrawAtSeventyPercent);
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  const auto offering = published_;
  Publish(Stable("1.5.0"), {{"1.5.0", Json::object()}, {"1.6.0", {{"withdrawn", true}}}});
  EXPECT_TRUE(Logged(Check("1.5.0"), "check: up to date"));

  WriteFile(StateFile(), "{\"manifest_serial\": 2, \"etag\": \"\u0001 cut short");
  Serve(offering);
  const Messages log = Check("1.5.0");
  EXPECT_TRUE(Logged(log,
                     "check: state file is not valid JSON; kept aside as Updates.json.corrupt, "
                     "starting from an empty state"));
  EXPECT_TRUE(Logged(log, "check: manifest rejected: older than serial 2"));
  EXPECT_EQ(State()["manifest_serial"], 2);
  EXPECT_EQ(State()["rollout_draw"], kDrawAtSeventyPercent);
  EXPECT_EQ(server_->Hits(Path("1.6.0")), 0);

  // Damaged while the check downloads: logged when found, and the floor holds.
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  FaultyFile damaging;
  damaging.body = Installer("1.6.0");
  damaging.on_request = [this] { WriteFile(StateFile(), "{ cut"); };
  server_->ServeFaulty(Path("1.6.0"), damaging);
  const Messages during = Check("1.5.0");
  EXPECT_TRUE(Logged(during,
                     "check: state file is not valid JSON; kept aside as Updates.json.corrupt, "
                     "starting from an empty state"))
      << ::testing::PrintToString(during);
  EXPECT_TRUE(Logged(during, "check: staged 1.6.0"));
  EXPECT_EQ(State()["manifest_serial"], 3);
  EXPECT_EQ(State()["rollout_draw"], kDrawAtSeventyPercent);
}

// A withdrawn staged release is found however many entries stand before it.
TEST_F(ReleaseControlTest, AStagedReleaseIsWithdrawnPastTheListedEntries) {
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  ASSERT_TRUE(Logged(Check("1.5.0"), "check: staged 1.6.0"));
  Json entries = {{"1.5.0", Json::object()}, {"1.6.0", {{"withdrawn", true}}}};
  for (int i = 0; i < 300; ++i) entries["0.0." + std::to_string(i)] = Json::object();
  Publish(Stable("1.5.0"), entries);
  EXPECT_TRUE(Logged(Check("1.5.0"), "check: staged 1.6.0 withdrawn"));
  EXPECT_FALSE(State().contains("staged"));
}

// Check A is still downloading 1.6.0 when check B accepts a manifest that
// withdraws it: B says so, and A does not stage it.
TEST_F(ReleaseControlTest, AReleaseWithdrawnDuringItsDownloadIsNotStaged) {
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  FaultyFile slow;
  slow.body = Installer("1.6.0");
  slow.bytes_per_second = 20;
  server_->ServeFaulty(Path("1.6.0"), slow);
  auto a = std::async(std::launch::async, [&] {
    return RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {"--check", "1.5.0", "--force"});
  });
  // B starts once A's download is on record.
  for (int i = 0; i < 400 && !(std::filesystem::exists(StateFile()) && State().contains("partial"));
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Publish(Stable("1.5.0"), {{"1.5.0", Json::object()}, {"1.6.0", {{"withdrawn", true}}}});
  EXPECT_TRUE(Logged(Check("1.5.0"),
                     "check: a download of a withdrawn release is in progress; it will not be "
                     "staged"));
  EXPECT_EQ(a.get().exit_code, 0);
  EXPECT_TRUE(Logged(WorkflowMessages(Home()),
                     "check: 1.6.0 was withdrawn during its download; not staged"));
  EXPECT_FALSE(State().contains("staged"));
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.6.0.sh"));
}

// Three releases whose installers are all named Setup.sh: none overwrites
// the base or the staged installer, and --apply starts the right one.
TEST_F(ReleaseControlTest, ReleasesSharingAFileNameKeepTheirOwnFiles) {
  one_name_ = true;
  Publish(Stable("2.0.0"), {{"2.0.0", Json::object()}});
  ASSERT_TRUE(Logged(Check("1.5.0"), "check: staged 2.0.0"));
  ASSERT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {"--apply"}).exit_code, 0);
  ASSERT_TRUE(WaitForFile(Home() + "/ran-2.0.0"));
  for (const std::string version : {"2.1.0", "2.2.0"}) {
    Publish(Stable(version), {{version, Json::object()}});
    ASSERT_TRUE(Logged(Check("2.0.0"), "check: staged " + version));
    EXPECT_EQ(State()["staged"]["installer"], Updates() + "/Setup-" + version + ".sh");
    EXPECT_EQ(ReadFile(Updates() + "/Setup.sh"), Installer("2.0.0")) << "the base";
  }
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Setup-2.1.0.sh"));
  ASSERT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {"--apply"}).exit_code, 0);
  EXPECT_TRUE(WaitForFile(Home() + "/ran-2.2.0"));
}

// Versions of this machine's C library: the real one, and one just above.
const SystemVersion kSystem = ReadSystemVersion();
const std::string kAbove = kSystem.version + ".1";

TEST_F(ReleaseControlTest, AReleaseAboveTheSystemIsPassedOverForTheOneBefore) {
  Publish(Stable("1.6.0"),
          {{"1.5.0", {{"min_os", kSystem.version}}}, {"1.6.0", {{"min_os", kAbove}}}});
  const Messages log = Check("1.4.0");
  EXPECT_TRUE(Logged(log, "check: 1.6.0 needs glibc " + kAbove + "; this is " + kSystem.version));
  EXPECT_TRUE(Logged(log, "check: staged 1.5.0"));
  EXPECT_EQ(server_->Hits(Path("1.6.0")), 0);

  // A fresh install with nothing it can run says which system it needs.
  std::filesystem::remove_all(Updates());
  Publish(Stable("1.6.0"), {{"1.6.0", {{"min_os", kAbove}}}});
  const ProgramRun install = RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {});
  EXPECT_NE(install.exit_code, 0);
  EXPECT_NE(install.stderr_text.find("Could not find a release for this platform. It needs glibc " +
                                     kAbove + " or later."),
            std::string::npos)
      << install.stderr_text;
}

TEST_F(ReleaseControlTest, AnAnnouncedReleaseIsRecordedNotDownloaded) {
  const std::string page = ReleaseUrl("/download");
  const std::string info = ReleaseUrl("/whats-new-2");
  Publish(Stable("2.0.0"), {{"1.5.0", Json::object()}, {"2.0.0", {{"informational", info}}}});
  Messages log = Check("1.5.0");
  EXPECT_TRUE(Logged(log, "check: 2.0.0 available, see " + info));
  EXPECT_EQ(State()["available"],
            (Json{{"version", "2.0.0"}, {"notes", "notes of 2.0.0"}, {"url", info}}));
  EXPECT_FALSE(State().contains("staged"));
  EXPECT_EQ(server_->Hits(Path("2.0.0")), 0);

  // Too old to update to 3.0.0 by itself: it steps to 2.5.0, and 3.0.0 is
  // announced with the manifest's download page.
  Publish(Stable("3.0.0"), {{"2.5.0", Json::object()}, {"3.0.0", {{"min_autoupdate", "2.0.0"}}}},
          {{"download_page", page}});
  log = Check("1.5.0");
  EXPECT_TRUE(Logged(log, "check: staged 2.5.0"));
  EXPECT_TRUE(Logged(log, "check: 3.0.0 available, see " + page));
  EXPECT_EQ(State()["available"]["url"], page);
  // From 2.5.0 it updates itself, and the announcement is gone.
  log = Check("2.5.0");
  EXPECT_TRUE(Logged(log, "check: staged 3.0.0"));
  EXPECT_FALSE(State().contains("available"));
}

TEST_F(ReleaseControlTest, TurnedOffFetchesNothingButStagedReleasesStillApply) {
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  EXPECT_TRUE(Logged(PolicyCheck("1.5.0"), "check: staged 1.6.0"));
  const PolicyFile policy(SOLVANE_TEST_POLICY_FILE, R"({"UpdatesEnabled": 0})");
  const int requests = server_->Hits(kManifestPath);
  const Messages log = PolicyCheck("1.5.0");
  EXPECT_TRUE(Logged(log, "check: policies in force: UpdatesEnabled=0"));
  EXPECT_TRUE(Logged(log, "check: updates turned off by policy"));
  EXPECT_EQ(server_->Hits(kManifestPath), requests);
  RunLogged(SOLVANE_TEST_POLICY_PROGRAM, {"--apply"});
  EXPECT_TRUE(WaitForFile(Home() + "/ran-1.6.0"));
}

TEST_F(ReleaseControlTest, ChannelAndIntervalReplaceTheCallersAndWrongValuesAreIgnoredWhole) {
  Json current = Stable("1.5.0");
  current["beta"] = {{SOLVANE_TEST_PLATFORM_KEY, "1.6.0"}};
  Publish(current, {{"1.5.0", Json::object()}, {"1.6.0", {{"channel", "beta"}}}});
  const PolicyFile policy(
      SOLVANE_TEST_POLICY_FILE,
      R"({"Channel": "beta", "CheckIntervalHours": 48, "DeltaUpdates": "0", "Rollback": 1})");
  const Messages log = PolicyCheck("1.4.0", false);
  EXPECT_TRUE(Logged(
      log, "policy: DeltaUpdates=\"0\" (" SOLVANE_TEST_POLICY_FILE ") ignored: not a number"));
  EXPECT_TRUE(
      Logged(log, "policy: Rollback=1 (" SOLVANE_TEST_POLICY_FILE ") ignored: not a policy"));
  EXPECT_TRUE(Logged(log, "check: policies in force: CheckIntervalHours=48, Channel=beta"));
  EXPECT_TRUE(Logged(log, "check: staged 1.6.0"));
  // A day and a half later the 48-hour interval still holds the check back.
  Json state = State();
  state["last_check"] = UnixNow() - 36 * 3600;
  WriteFile(StateFile(), state.dump());
  EXPECT_TRUE(Logged(PolicyCheck("1.4.0", false), "check: skipped (within 48h interval)"));
}

TEST_F(ReleaseControlTest, APrefixPinsTheVersionAndRollsBackIntoIt) {
  Publish(Stable("2.1.0"),
          {{"1.9.0", Json::object()}, {"1.9.1", Json::object()}, {"2.1.0", Json::object()}});
  {
    const PolicyFile policy(SOLVANE_TEST_POLICY_FILE, R"({"TargetVersionPrefix": "1.9."})");
    const Messages log = PolicyCheck("1.9.0");
    EXPECT_TRUE(Logged(log, "check: 2.1.0 outside TargetVersionPrefix 1.9."));
    EXPECT_TRUE(Logged(log, "check: staged 1.9.1"));
    // Without RollbackToTarget, an installation past the prefix stays.
    EXPECT_TRUE(Logged(PolicyCheck("2.1.0"), "check: nothing offered to this installation"));
  }
  const PolicyFile policy(SOLVANE_TEST_POLICY_FILE,
                          R"({"TargetVersionPrefix": "1.9.", "RollbackToTarget": 1})");
  EXPECT_TRUE(Logged(PolicyCheck("2.1.0"), "check: already staged 1.9.1"));
  EXPECT_EQ(State()["staged"]["downgrade"], true);
}

TEST_F(ReleaseControlTest, TheVendorTakesBackAWithdrawnInstalledRelease) {
  Publish(Stable("2.0.0"),
          {{"1.9.2", Json::object()}, {"2.0.0", {{"withdrawn", true}, {"rollback_to", "1.9.2"}}}});
  const Messages log = Check("2.0.0");
  EXPECT_TRUE(Logged(log, "check: installed 2.0.0 withdrawn; offering 1.9.2"));
  EXPECT_TRUE(Logged(log, "check: staged 1.9.2"));
  EXPECT_EQ(State()["staged"]["downgrade"], true);
  // A fixed release replaces the rollback, which is dropped unstarted.
  Publish(Stable("2.0.1"), {{"1.9.2", Json::object()},
                            {"2.0.0", {{"withdrawn", true}, {"rollback_to", "1.9.2"}}},
                            {"2.0.1", Json::object()}});
  const Messages fixed = Check("2.0.0");
  EXPECT_TRUE(Logged(fixed, "check: staged downgrade to 1.9.2 no longer ordered, dropped"));
  EXPECT_TRUE(Logged(fixed, "check: staged 2.0.1"));
  EXPECT_FALSE(State()["staged"].contains("downgrade"));
}

TEST_F(ReleaseControlTest, AMeteredLinkDefersAllButCriticalDownloads) {
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  const std::vector<std::string> check{"--check", "1.5.0", "--force"};
  EXPECT_TRUE(Logged(RunLogged(SOLVANE_TEST_METERED_PROGRAM, check),
                     "check: metered connection; download of 1.6.0 deferred"));
  EXPECT_FALSE(State().contains("staged"));
  EXPECT_TRUE(State().contains("last_check"));
  {
    const PolicyFile policy(SOLVANE_TEST_POLICY_FILE, R"({"MeteredDownloads": 1})");
    EXPECT_TRUE(Logged(RunLogged(SOLVANE_TEST_METERED_PROGRAM, check), "check: staged 1.6.0"));
  }
  Publish(Stable("1.7.0"), {{"1.6.0", Json::object()}, {"1.7.0", {{"critical", true}}}});
  EXPECT_TRUE(Logged(RunLogged(SOLVANE_TEST_METERED_PROGRAM, check), "check: staged 1.7.0"));
}

}  // namespace
}  // namespace solvane
