// What the vendor's signed manifest decides per installation, through the
// signed test build against the loopback server: channels, a staged rollout
// (and that a client outside it downloads nothing), critical releases, and
// withdrawn releases taken back from the updates folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/clock.h"
#include "state/signed_members.h"
#include "tests/e2e/e2e_support.h"

namespace solvane {
namespace {

using namespace testing;
using Json = nlohmann::json;

constexpr std::uint32_t kDrawAtSeventyPercent = 3006477107u;  // 0.7 * 2^32

class ReleaseControlTest : public ProgramTest {
 protected:
  static std::string Path(const std::string& version) {
    return "/solvane/releases/" + version + "/Solvane-" + version + ".sh";
  }
  std::string Installer(const std::string& version) const {
    return InstallerScript(Home() + "/ran-" + version);
  }

  // Serves every listed version's installer and the manifest, signed with a
  // test key; each publication raises the serial, as the vendor tool does.
  // `entries` maps versions to the members beside url, sha256 and notes.
  void Publish(const Json& current, const Json& entries) {
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
    const Json manifest = {{"serial", ++serial_},
                           {"expires", FormatUtcTime(UnixNow() + 86400)},
                           {"current", current},
                           {"releases", {{SOLVANE_TEST_PLATFORM_KEY, releases}}}};
    const std::string text = manifest.dump(2);
    TempDir work;
    WriteFile(work.str() + "/m.json", text);
    const ToolRun signing = RunTool({SOLVANE_MINISIGN_PROGRAM, "-S", "-s",
                                     std::string(SOLVANE_TEST_KEYS_DIR) + "/release-1.key", "-m",
                                     work.str() + "/m.json"});
    ASSERT_EQ(signing.exit_code, 0) << signing.err;
    server_->Serve(kManifestPath, text);
    server_->Serve(kManifestPath + ".minisig", ReadFile(work.str() + "/m.json.minisig"));
  }

  static Json Stable(const std::string& version) {
    return {{"stable", {{SOLVANE_TEST_PLATFORM_KEY, version}}}};
  }

  // A forced check of the signed build; the log lines it wrote.
  Messages Check(const std::string& installed, std::vector<std::string> more = {}) {
    const std::size_t before = WorkflowMessages(Home()).size();
    std::vector<std::string> args{"--check", installed, "--force"};
    args.insert(args.end(), more.begin(), more.end());
    EXPECT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), args).exit_code, 0);
    const Messages log = WorkflowMessages(Home());
    return Messages(log.begin() + static_cast<std::ptrdiff_t>(before), log.end());
  }

  void SetDraw(std::uint32_t draw) { WriteFile(StateFile(), Json{{"rollout_draw", draw}}.dump()); }

  static bool Logged(const Messages& log, const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  int serial_ = 0;
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

}  // namespace
}  // namespace solvane
