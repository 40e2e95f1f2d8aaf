// What the vendor's signed manifest decides per installation, through the
// signed test build against the loopback server: channels, a staged rollout
// (and that a client outside it downloads nothing), critical releases, and
// withdrawn releases taken back from the updates folder, and releases that
// need a newer system or are only announced.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "platform/system_version.h"
#include "release/signed_members.h"
#include "tests/e2e/release_control_support.h"

namespace solvane {
namespace {

using namespace testing;
using Json = nlohmann::json;

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

}  // namespace
}  // namespace solvane

namespace solvane {
namespace {

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

}  // namespace
}  // namespace solvane
