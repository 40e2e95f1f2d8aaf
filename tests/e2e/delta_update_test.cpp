// Delta updates through the signed test build and the loopback server: the
// installer this machine started last is the base, a patch made by Debian's
// `zstd --patch-from` turns it into the next release, and every way the patch
// can fail falls back to the full download within the same check.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "platform/clock.h"
#include "platform/file_lock.h"
#include "release/signed_members.h"
#include "tests/e2e/e2e_support.h"

namespace solvane {
namespace {

using namespace testing;
using Json = nlohmann::json;

const std::string kPatchPath = "/solvane/releases/1.6.0/Solvane-1.6.0.sh.from-1.5.0.zst";

class DeltaUpdateTest : public ProgramTest {
 protected:
  static std::string Path(const std::string& version) {
    return "/solvane/releases/" + version + "/Solvane-" + version + ".sh";
  }

  // A script with a stored payload of 2 MiB after its exit, the kind of
  // installer a patch pays for; 1.6.0 changes a tenth of 1.5.0's payload.
  std::string Installer(const std::string& version) const {
    std::mt19937 random(15);
    std::string payload(2 << 20, '\0');
    for (char& c : payload) c = static_cast<char>(random());
    if (version != "1.5.0") {
      for (std::size_t at = 0; at < payload.size(); at += 10 * 4096) {
        std::fill_n(payload.begin() + static_cast<std::ptrdiff_t>(at), 4096, version.back());
      }
    }
    return InstallerScript(Home() + "/ran-" + version) + "exit 0\n" + payload;
  }

  // A patch from 1.5.0's installer to `version`'s, made by Debian's zstd.
  std::string ZstdPatch(const std::string& version, const std::string& appended = "",
                        const std::string& option = "-q") const {
    TempDir work;
    WriteFile(work.str() + "/base", Installer("1.5.0"));
    WriteFile(work.str() + "/next", Installer(version) + appended);
    const ToolRun made =
        RunTool({SOLVANE_ZSTD_PROGRAM, "-q", option, "--patch-from=" + work.str() + "/base",
                 work.str() + "/next", "-o", work.str() + "/patch"});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    return ReadFile(work.str() + "/patch");
  }

  // Serves the installers, the patch under kPatchPath, and a manifest signed
  // with a test key whose release `stable` lists the patch as from
  // `from_sha256` with digest `patch_sha256` ("" for the patch's own).
  void Publish(const std::string& stable, const std::string& patch, const std::string& from_sha256,
               std::string patch_sha256 = "", std::int64_t patch_size = -1) {
    if (patch_sha256.empty()) patch_sha256 = Sha256Of(patch);
    Json releases = Json::object();
    for (const std::string& version : {std::string("1.5.0"), stable}) {
      releases[version] = {{"url", ReleaseUrl(Path(version))},
                           {"sha256", Sha256Of(Installer(version))},
                           {"size", Installer(version).size()},
                           {"notes", "notes of " + version}};
      server_->Serve(Path(version), Installer(version));
    }
    releases[stable]["deltas"] = Json::array(
        {{{"from_sha256", from_sha256},
          {"url", ReleaseUrl(kPatchPath)},
          {"sha256", patch_sha256},
          {"size", patch_size >= 0 ? patch_size : static_cast<std::int64_t>(patch.size())}}});
    server_->Serve(kPatchPath, patch);
    const Json manifest = {{"serial", ++serial_},
                           {"expires", FormatUtcTime(UnixNow() + 86400)},
                           {"current", {{"stable", {{SOLVANE_TEST_PLATFORM_KEY, stable}}}}},
                           {"releases", {{SOLVANE_TEST_PLATFORM_KEY, releases}}}};
    TempDir work;
    WriteFile(work.str() + "/m.json", manifest.dump(2));
    const ToolRun signing = RunTool({SOLVANE_MINISIGN_PROGRAM, "-S", "-s",
                                     std::string(SOLVANE_TEST_KEYS_DIR) + "/release-1.key", "-m",
                                     work.str() + "/m.json"});
    ASSERT_EQ(signing.exit_code, 0) << signing.err;
    server_->Serve(kManifestPath, manifest.dump(2));
    server_->Serve(kManifestPath + ".minisig", ReadFile(work.str() + "/m.json.minisig"));
  }

  // A fresh install of 1.5.0, whose installer becomes the first base.
  void InstallBase() {
    Publish("1.5.0", "", Sha256Of("none"));
    ASSERT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {}).exit_code, 0);
    ASSERT_EQ(State()["base"]["version"], "1.5.0");
    ASSERT_EQ(State()["base"]["sha256"], Sha256Of(Installer("1.5.0")));
  }

  Messages Check(const std::string& installed) {
    const std::size_t before = WorkflowMessages(Home()).size();
    EXPECT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {"--check", installed, "--force"})
                  .exit_code,
              0);
    const Messages log = WorkflowMessages(Home());
    return Messages(log.begin() + static_cast<std::ptrdiff_t>(before), log.end());
  }

  // The check staged 1.6.0 in full after the delta failed for a reason
  // that starts with `reason`.
  void ExpectFellBack(const std::string& reason) {
    const Messages log = Check("1.5.0");
    const std::string said = "check: delta from 1.5.0 failed: " + reason;
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
      return line.starts_with(said) && line.ends_with("; downloading in full");
    })) << ::testing::PrintToString(log);
    EXPECT_NE(std::find(log.begin(), log.end(), "check: staged 1.6.0"), log.end());
    EXPECT_EQ(server_->Hits(Path("1.6.0")), 1);
    EXPECT_EQ(ReadFile(Updates() + "/Solvane-1.6.0.sh"), Installer("1.6.0"));
    EXPECT_FALSE(std::filesystem::exists(Updates() + "/Updates.patch"));
  }

  // Back to before the check: nothing staged, a fresh server's counts.
  void Unstage(const Json& state) {
    std::filesystem::remove(Updates() + "/Solvane-1.6.0.sh");
    WriteFile(StateFile(), state.dump());
    server_.reset();
    server_ = std::make_unique<ReleaseServer>(SOLVANE_TEST_PORT);
  }

  int serial_ = 0;
};

TEST_F(DeltaUpdateTest, ThePatchAloneCrossesTheWireAndTheStartedReleaseBecomesTheBase) {
  InstallBase();
  const std::string patch = ZstdPatch("1.6.0");
  ASSERT_LT(patch.size(), Installer("1.6.0").size() / 4);
  Publish("1.6.0", patch, Sha256Of(Installer("1.5.0")));
  const Messages log = Check("1.5.0");
  EXPECT_NE(std::find(log.begin(), log.end(), "check: staged 1.6.0"), log.end());
  EXPECT_EQ(server_->Hits(Path("1.6.0")), 0);
  EXPECT_EQ(server_->Hits(kPatchPath), 1);
  const std::string staged = State()["staged"]["installer"];
  EXPECT_EQ(ReadFile(staged), Installer("1.6.0"));
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Updates.patch"));

  // Started, 1.6.0 is the base; 1.5.0's installer goes a day after its start.
  ASSERT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {"--apply"}).exit_code, 0);
  ASSERT_TRUE(WaitForFile(Home() + "/ran-1.6.0"));
  EXPECT_EQ(State()["base"]["installer"], staged);
  EXPECT_EQ(State()["base"]["sha256"], Sha256Of(Installer("1.6.0")));
  const Json launched = State()["launched"];
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0]["installer"], Updates() + "/Solvane-1.5.0.sh");
}

// An administrator who turned deltas off gets the full installer.
TEST_F(DeltaUpdateTest, TurnedOffByPolicyTheFullInstallerIsDownloaded) {
  InstallBase();
  Publish("1.6.0", ZstdPatch("1.6.0"), Sha256Of(Installer("1.5.0")));
  const PolicyFile policy(SOLVANE_TEST_POLICY_FILE, R"({"DeltaUpdates": 0})");
  EXPECT_EQ(
      RunProgramAt(SOLVANE_TEST_POLICY_PROGRAM, Home(), {"--check", "1.5.0", "--force"}).exit_code,
      0);
  EXPECT_EQ(server_->Hits(kPatchPath), 0);
  EXPECT_EQ(server_->Hits(Path("1.6.0")), 1);
  EXPECT_EQ(State()["staged"]["version"], "1.6.0");
}

TEST_F(DeltaUpdateTest, EveryFailedDeltaFallsBackToTheFullDownloadInTheSameCheck) {
  InstallBase();
  const std::string base = Sha256Of(Installer("1.5.0"));
  const std::string patch = ZstdPatch("1.6.0");
  // A patch that does not match its listed digest.
  Publish("1.6.0", patch, base, Sha256Of("another patch"));
  ExpectFellBack("patch download: digest mismatch");
  // A patch whose digest is listed but whose bytes are not a patch of the base.
  Json state = State();
  state.erase("staged");
  Unstage(state);
  std::string damaged = patch;
  damaged[damaged.size() / 2] ^= 0x55;
  Publish("1.6.0", damaged, base);
  ExpectFellBack("patch damaged: ");
  // The same patch against another base: the listed one is not this one.
  Unstage(state);
  Publish("1.6.0", patch, Sha256Of("another base"));
  ExpectFellBack("no delta from this base");
  // The base changed on disk since it was started.
  Unstage(state);
  WriteFile(Updates() + "/Solvane-1.5.0.sh", Installer("1.6.0"));
  Publish("1.6.0", patch, base);
  ExpectFellBack("base changed");
  EXPECT_EQ(server_->Hits(kPatchPath), 0) << "a changed base wastes no patch download";
  WriteFile(Updates() + "/Solvane-1.5.0.sh", Installer("1.5.0"));
  // A patch longer than its listed size: its download stops there.
  Unstage(state);
  Publish("1.6.0", patch, base, "", static_cast<std::int64_t>(patch.size()) - 1);
  ExpectFellBack("patch download: larger than its published size");
  // A patch whose result runs past the release's size.
  Unstage(state);
  Publish("1.6.0", ZstdPatch("1.6.0", std::string(4096, 'y')), base);
  ExpectFellBack("patch damaged: the result is larger than the release");
}

// A sound patch whose frame header declares a 2 GiB window: refused before
// any memory is taken for it, where it once cost 2.1 GB.
TEST_F(DeltaUpdateTest, APatchDeclaringAWindowBeyondTheBaseIsRefused) {
  InstallBase();
  std::string patch = ZstdPatch("1.6.0", "", "--no-content-size");
  // Magic, then a descriptor without the single-segment flag: the window
  // descriptor follows, exponent 21 (2^31), no mantissa.
  ASSERT_GT(patch.size(), 6u);
  ASSERT_EQ(static_cast<unsigned char>(patch[4]) & 0x20, 0);
  patch[5] = static_cast<char>(21 << 3);
  Publish("1.6.0", patch, Sha256Of(Installer("1.5.0")));
  ExpectFellBack("patch damaged: its window is larger than a patch of this base needs");
}

// A patch download that fails while another process holds the folder past
// the wait: the check stops there, downloading nothing more and saving no
// state it read before the transfer.
TEST_F(DeltaUpdateTest, AFolderLostAfterAFailedPatchEndsTheCheck) {
  InstallBase();
  Publish("1.6.0", "not a patch", Sha256Of(Installer("1.5.0")));
  LockAttempt held;
  server_->Handle(kPatchPath, [&](const httplib::Request&, httplib::Response& response) {
    held = LockFolder(Updates(), "/Updates.lock", 0);
    response.status = 404;
  });
  const Messages log = Check("1.5.0");
  ASSERT_TRUE(held.lock);
  EXPECT_NE(std::find(log.begin(), log.end(), "check: another SolvaneSetup is busy"), log.end())
      << ::testing::PrintToString(log);
  EXPECT_EQ(
      log.back(),
      "check: download/verify failed for 1.6.0: the updates folder could not be locked again");
  EXPECT_EQ(server_->Hits(Path("1.6.0")), 0);
  EXPECT_FALSE(State().contains("staged"));
}

}  // namespace
}  // namespace solvane
