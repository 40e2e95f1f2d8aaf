// The administrator's machine policies through the test build that reads
// its policy file from the build folder, against signed releases on the
// loopback server.
#include <gtest/gtest.h>

#include "tests/e2e/release_control_support.h"

namespace solvane {
namespace {

using namespace testing;

class PolicyTest : public ReleaseControlTest {
 protected:
  Messages PolicyCheck(const std::string& installed, bool force = true) {
    std::vector<std::string> args{"--check", installed};
    if (force) args.push_back("--force");
    return RunLogged(SOLVANE_TEST_POLICY_PROGRAM, args);
  }
};

TEST_F(PolicyTest, TurnedOffFetchesNothingButStagedReleasesStillApply) {
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  EXPECT_TRUE(Logged(PolicyCheck("1.5.0"), "check: staged 1.6.0"));
  const PolicyFile policy(R"({"UpdatesEnabled": 0})");
  const int requests = server_->Hits(kManifestPath);
  const Messages log = PolicyCheck("1.5.0");
  EXPECT_TRUE(Logged(log, "check: policies in force: UpdatesEnabled=0"));
  EXPECT_TRUE(Logged(log, "check: updates turned off by policy"));
  EXPECT_EQ(server_->Hits(kManifestPath), requests);
  RunLogged(SOLVANE_TEST_POLICY_PROGRAM, {"--apply"});
  EXPECT_TRUE(WaitForFile(Home() + "/ran-1.6.0"));
}

TEST_F(PolicyTest, ChannelAndIntervalReplaceTheCallersAndWrongValuesAreIgnoredWhole) {
  Json current = Stable("1.5.0");
  current["beta"] = {{SOLVANE_TEST_PLATFORM_KEY, "1.6.0"}};
  Publish(current, {{"1.5.0", Json::object()}, {"1.6.0", {{"channel", "beta"}}}});
  const PolicyFile policy(
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

TEST_F(PolicyTest, APrefixPinsTheVersionAndRollsBackIntoIt) {
  Publish(Stable("2.1.0"),
          {{"1.9.0", Json::object()}, {"1.9.1", Json::object()}, {"2.1.0", Json::object()}});
  {
    const PolicyFile policy(R"({"TargetVersionPrefix": "1.9."})");
    const Messages log = PolicyCheck("1.9.0");
    EXPECT_TRUE(Logged(log, "check: 2.1.0 outside TargetVersionPrefix 1.9."));
    EXPECT_TRUE(Logged(log, "check: staged 1.9.1"));
    // Without RollbackToTarget, an installation past the prefix stays.
    EXPECT_TRUE(Logged(PolicyCheck("2.1.0"), "check: nothing offered to this installation"));
  }
  const PolicyFile policy(R"({"TargetVersionPrefix": "1.9.", "RollbackToTarget": 1})");
  EXPECT_TRUE(Logged(PolicyCheck("2.1.0"), "check: already staged 1.9.1"));
  EXPECT_EQ(State()["staged"]["downgrade"], true);
}

TEST_F(PolicyTest, TheVendorTakesBackAWithdrawnInstalledRelease) {
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

TEST_F(PolicyTest, AMeteredLinkDefersAllButCriticalDownloads) {
  Publish(Stable("1.6.0"), {{"1.6.0", Json::object()}});
  const std::vector<std::string> check{"--check", "1.5.0", "--force"};
  EXPECT_TRUE(Logged(RunLogged(SOLVANE_TEST_METERED_PROGRAM, check),
                     "check: metered connection; download of 1.6.0 deferred"));
  EXPECT_FALSE(State().contains("staged"));
  EXPECT_TRUE(State().contains("last_check"));
  {
    const PolicyFile policy(R"({"MeteredDownloads": 1})");
    EXPECT_TRUE(Logged(RunLogged(SOLVANE_TEST_METERED_PROGRAM, check), "check: staged 1.6.0"));
  }
  Publish(Stable("1.7.0"), {{"1.6.0", Json::object()}, {"1.7.0", {{"critical", true}}}});
  EXPECT_TRUE(Logged(RunLogged(SOLVANE_TEST_METERED_PROGRAM, check), "check: staged 1.7.0"));
}

}  // namespace
}  // namespace solvane
