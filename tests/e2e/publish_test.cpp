// solvane-publish end to end: trees it builds, what it refuses, what verify
// finds, and a tree it produced served to the real client.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <tuple>

#include "release/manifest.h"
#include "release/patch_apply.h"
#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;
namespace fs = std::filesystem;

class PublishTest : public ::testing::Test {
 protected:
  std::string Root() const { return work_.str() + "/site/solvane"; }
  Json Manifest() const { return Json::parse(ReadFile(Root() + "/manifest.json")); }

  // An installer file of the test's own in the work folder.
  std::string MakeInstaller(const std::string& name, const std::string& content) {
    const std::string path = work_.str() + "/in/" + name;
    WriteFile(path, content);
    return path;
  }

  ToolRun Publish(std::vector<std::string> args) {
    args.insert(args.begin(), {SOLVANE_PUBLISH_PROGRAM, "add", "--root", Root()});
    return RunTool(args);
  }

  ToolRun Add(const std::string& platform, const std::string& version, const std::string& file,
              std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--base-url", kBase,       "--platform",
                                  platform,     "--version", version};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(file);
    return Publish(args);
  }

  ToolRun Verify() { return RunTool({SOLVANE_PUBLISH_PROGRAM, "verify", "--root", Root()}); }

  const std::string kBase = ReleaseUrl("/solvane/");
  TempDir work_;
};

TEST_F(PublishTest, BuildsATreeThatTheClientReads) {
  const std::string v1 = MakeInstaller("Solvane Setup.exe", "one");
  ASSERT_EQ(Add("windows-x64", "1.4.0", v1, {"--notes", "First"}).exit_code, 0);
  Json manifest = Manifest();
  EXPECT_EQ(manifest["current"]["stable"]["windows-x64"], "1.4.0");
  const Json entry = manifest["releases"]["windows-x64"]["1.4.0"];
  EXPECT_EQ(entry["url"], kBase + "windows-x64/1.4.0/Solvane%20Setup.exe");
  EXPECT_EQ(entry["sha256"], Sha256Of("one"));
  EXPECT_EQ(entry["size"], 3);
  EXPECT_EQ(entry["notes"], "First");
  EXPECT_EQ(ReadFile(Root() + "/windows-x64/1.4.0/Solvane Setup.exe"), "one");

  // A second version, a second platform, and a version kept off stable.
  const std::string v2 = MakeInstaller("Solvane-1.5.0.exe", "two");
  const std::string notes = MakeInstaller("notes.txt", "Line 1\nCaf\xc3\xa9\n");
  ASSERT_EQ(Add("windows-x64", "1.5.0", v2, {"--notes-file", notes}).exit_code, 0);
  ASSERT_EQ(Add("linux-x64", "1.5.0", MakeInstaller("solvane.sh", "sh")).exit_code, 0);
  ASSERT_EQ(
      Add("windows-x64", "1.6.0-beta", MakeInstaller("b.exe", "beta"), {"--no-stable"}).exit_code,
      0);
  manifest = Manifest();
  EXPECT_EQ(manifest["current"]["stable"],
            Json({{"windows-x64", "1.5.0"}, {"linux-x64", "1.5.0"}}));
  EXPECT_EQ(manifest["releases"]["windows-x64"].size(), 3u);
  EXPECT_EQ(manifest["releases"]["windows-x64"]["1.5.0"]["notes"], "Line 1\nCaf\xc3\xa9\n");

  std::string version, url, sha256, text_notes;
  ASSERT_TRUE(ParseManifest(ReadFile(Root() + "/manifest.json"), "windows-x64", version, url,
                            sha256, text_notes));
  EXPECT_EQ(version, "1.5.0");
  EXPECT_EQ(sha256, Sha256Of("two"));

  const ToolRun verify = Verify();
  EXPECT_EQ(verify.exit_code, 0) << verify.err;
}

TEST_F(PublishTest, KeepsForeignMembersAndRepublishesIdempotently) {
  WriteFile(Root() + "/manifest.json",
            R"({"vendor": {"contact": "x"}, "current": {"stable": {}, "beta": {"a": "1"}}})");
  const std::string file = MakeInstaller("S.exe", "same");
  ASSERT_EQ(Add("windows-x64", "2.0.0", file).exit_code, 0);
  ASSERT_EQ(Add("windows-x64", "2.0.0", file).exit_code, 0);
  const Json manifest = Manifest();
  EXPECT_EQ(manifest["vendor"]["contact"], "x");
  EXPECT_EQ(manifest["current"]["beta"]["a"], "1");
  // Pretty-printed with sorted keys: stable output for version control.
  EXPECT_EQ(ReadFile(Root() + "/manifest.json"), manifest.dump(2) + "\n");
}

// Channels, rollouts, withdrawal and the critical mark: each change raises
// the serial and keeps the rest of the entry; verify shows where each stands.
TEST_F(PublishTest, ReleaseControlCommandsChangeOneEntryEach) {
  const auto change = [this](std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--root", Root(), "--platform", "windows-x64"});
    args.insert(args.begin(), SOLVANE_PUBLISH_PROGRAM);
    return RunTool(args);
  };
  ASSERT_EQ(Add("windows-x64", "1.5.0", MakeInstaller("a.exe", "a")).exit_code, 0);
  ASSERT_EQ(
      Add("windows-x64", "1.6.0", MakeInstaller("b.exe", "b"), {"--channel", "beta"}).exit_code, 0);
  Json manifest = Manifest();
  EXPECT_EQ(manifest["current"]["beta"]["windows-x64"], "1.6.0");
  EXPECT_EQ(manifest["current"]["stable"]["windows-x64"], "1.5.0");
  EXPECT_EQ(manifest["releases"]["windows-x64"]["1.6.0"]["channel"], "beta");

  const int serial = manifest["serial"];
  ASSERT_EQ(change({"rollout", "--version", "1.5.0", "--percent", "12.5"}).exit_code, 0);
  ASSERT_EQ(
      change({"rollout", "--version", "1.6.0", "--days", "4", "--start", "2000-01-01T00:00:00Z"})
          .exit_code,
      0);
  ASSERT_EQ(change({"withdraw", "--version", "1.6.0"}).exit_code, 0);
  ASSERT_EQ(change({"critical", "--version", "1.5.0"}).exit_code, 0);
  manifest = Manifest();
  EXPECT_EQ(manifest["serial"], serial + 4);
  const Json stable = manifest["releases"]["windows-x64"]["1.5.0"];
  EXPECT_EQ(stable["rollout"], Json({{"percent", 12.5}}));
  EXPECT_EQ(stable["critical"], true);
  EXPECT_EQ(stable["sha256"], Sha256Of("a"));
  // Publishing the same file again keeps what the commands set.
  ASSERT_EQ(Add("windows-x64", "1.5.0", MakeInstaller("a.exe", "a")).exit_code, 0);
  EXPECT_EQ(Manifest()["releases"]["windows-x64"]["1.5.0"]["critical"], true);
  ToolRun verify = Verify();
  EXPECT_EQ(verify.exit_code, 0) << verify.err;
  EXPECT_NE(verify.out.find("windows-x64 1.5.0: channel stable, rollout 12.5% today, critical, "
                            "current in stable"),
            std::string::npos)
      << verify.out;
  EXPECT_NE(verify.out.find("windows-x64 1.6.0: channel beta, rollout 100% today, withdrawn, "
                            "current in beta"),
            std::string::npos)
      << verify.out;
}

TEST_F(PublishTest, WritesAndListsWhatAReleaseNeeds) {
  ASSERT_EQ(
      Add("windows-x64", "2.0.0", MakeInstaller("c.exe", "c"),
          {"--min-os", "10.0.17763", "--informational", "https://x/2", "--min-autoupdate", "1.5.0"})
          .exit_code,
      0);
  const Json entry = Manifest()["releases"]["windows-x64"]["2.0.0"];
  EXPECT_EQ(entry["min_os"], "10.0.17763");
  EXPECT_EQ(entry["informational"], "https://x/2");
  EXPECT_EQ(entry["min_autoupdate"], "1.5.0");
  const ToolRun verify = Verify();
  EXPECT_EQ(verify.exit_code, 0) << verify.err;
  EXPECT_NE(verify.out.find("windows-x64 2.0.0: channel stable, rollout 100% today, available, "
                            "needs 10.0.17763, informational, from 1.5.0 only"),
            std::string::npos)
      << verify.out;
}

// A rollback target must be an older published release, whoever wrote it.
TEST_F(PublishTest, WithdrawsWithARollbackToAnOlderRelease) {
  const auto withdraw = [this](const std::string& version, const std::string& target) {
    return RunTool({SOLVANE_PUBLISH_PROGRAM, "withdraw", "--root", Root(), "--platform",
                    "windows-x64", "--version", version, "--rollback-to", target});
  };
  ASSERT_EQ(Add("windows-x64", "1.9.2", MakeInstaller("a.exe", "a")).exit_code, 0);
  ASSERT_EQ(Add("windows-x64", "2.0.0", MakeInstaller("b.exe", "b")).exit_code, 0);
  EXPECT_EQ(withdraw("2.0.0", "1.9.9").exit_code, 2);
  EXPECT_EQ(withdraw("1.9.2", "2.0.0").exit_code, 2);
  ASSERT_EQ(withdraw("2.0.0", "1.9.2").exit_code, 0);
  EXPECT_EQ(Manifest()["releases"]["windows-x64"]["2.0.0"]["rollback_to"], "1.9.2");
  const ToolRun verify = Verify();
  EXPECT_EQ(verify.exit_code, 0) << verify.err;
  EXPECT_NE(verify.out.find("withdrawn, rolls back to 1.9.2"), std::string::npos) << verify.out;
  // verify checks a hand-edited target too.
  Json manifest = Manifest();
  manifest["releases"]["windows-x64"]["2.0.0"]["rollback_to"] = "1.9.9";
  WriteFile(Root() + "/manifest.json", manifest.dump(2));
  EXPECT_NE(Verify().err.find("2.0.0: rollback_to 1.9.9 is not published"), std::string::npos);
}

TEST_F(PublishTest, RefusesBadRequestsAndChangesNothing) {
  const std::string good = MakeInstaller("S.exe", "first");
  ASSERT_EQ(Add("windows-x64", "1.0.0", good).exit_code, 0);
  const std::string before = ReadFile(Root() + "/manifest.json");
  const std::string other = MakeInstaller("S2.exe", "second");

  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"version without a number",
       {"--base-url", kBase, "--platform", "windows-x64", "--version", "beta", other}},
      {"version already published with another file",
       {"--base-url", kBase, "--platform", "windows-x64", "--version", "1.0.0", other}},
      {"base URL without a final slash",
       {"--base-url", "http://127.0.0.1/solvane", "--platform", "w", "--version", "1", other}},
      {"unreadable installer",
       {"--base-url", kBase, "--platform", "w", "--version", "1", work_.str() + "/missing"}},
      {"version naming a folder",
       {"--base-url", kBase, "--platform", "w", "--version", "1/../../x", other}},
      {"missing version", {"--base-url", kBase, "--platform", "w", other}},
      {"min-os not dotted numbers",
       {"--base-url", kBase, "--platform", "w", "--version", "1", "--min-os", "10.0.x", other}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolRun run = Publish(c.args);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.err.find("solvane-publish: "), std::string::npos);
    EXPECT_EQ(ReadFile(Root() + "/manifest.json"), before);
  }
  EXPECT_FALSE(fs::exists(Root() + "/w"));

  // --replace allows the new file.
  ASSERT_EQ(Add("windows-x64", "1.0.0", other, {"--replace"}).exit_code, 0);
  EXPECT_EQ(Manifest()["releases"]["windows-x64"]["1.0.0"]["sha256"], Sha256Of("second"));

  // A manifest that is not an object is never overwritten.
  WriteFile(Root() + "/manifest.json", "[1, 2]");
  EXPECT_EQ(Add("windows-x64", "3.0.0", other).exit_code, 2);
  EXPECT_EQ(ReadFile(Root() + "/manifest.json"), "[1, 2]");
}

TEST_F(PublishTest, VerifyFindsTamperedAndMissingFiles) {
  ASSERT_EQ(Add("windows-x64", "1.0.0", MakeInstaller("a.exe", "a")).exit_code, 0);
  ASSERT_EQ(Add("windows-x64", "1.1.0", MakeInstaller("b.exe", "b")).exit_code, 0);
  WriteFile(Root() + "/windows-x64/1.0.0/a.exe", "tampered");
  fs::remove(Root() + "/windows-x64/1.1.0/b.exe");
  const ToolRun run = Verify();
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("windows-x64 1.0.0: digest does not match"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("windows-x64 1.1.0: missing file"), std::string::npos) << run.err;

  // A sound file listed without its size, or with another one.
  ASSERT_EQ(Add("windows-x64", "1.2.0", MakeInstaller("c.exe", "c")).exit_code, 0);
  ASSERT_EQ(Add("windows-x64", "1.3.0", MakeInstaller("d.exe", "d")).exit_code, 0);
  Json manifest = Manifest();
  manifest["releases"]["windows-x64"]["1.2.0"].erase("size");
  manifest["releases"]["windows-x64"]["1.3.0"]["size"] = 2;
  WriteFile(Root() + "/manifest.json", manifest.dump());
  const std::string sizes = Verify().err;
  EXPECT_NE(sizes.find("windows-x64 1.2.0: no size"), std::string::npos) << sizes;
  EXPECT_NE(sizes.find("windows-x64 1.3.0: size does not match"), std::string::npos) << sizes;

  // A stable version without an entry.
  manifest["current"]["stable"]["linux-x64"] = "9.0.0";
  WriteFile(Root() + "/manifest.json", manifest.dump());
  EXPECT_NE(Verify().err.find("linux-x64: stable version 9.0.0 has no release entry"),
            std::string::npos);
}

// The client's parser hands its error over: verify reports it under its own
// name, where the client prints it under SolvaneSetup's.
TEST_F(PublishTest, VerifyReportsTheParserErrorUnderItsOwnName) {
  ASSERT_EQ(Add("windows-x64", "1.0.0", MakeInstaller("a.exe", "a")).exit_code, 0);
  const Json good = Manifest();
  const struct {
    std::function<void(Json&)> damage;
    std::string line;
  } rows[] = {
      {[](Json& m) { m["releases"]["windows-x64"]["1.0.0"]["notes"] = Json::object(); },
       "solvane-publish: windows-x64: manifest parse error -- [json.exception.type_error.302] "
       "type must be string, but is object\n"},
      {[](Json& m) {
         Json deep = Json::array();
         for (int i = 0; i < 300; ++i) deep = Json::array({deep});
         m["x"] = deep;
       },
       "solvane-publish: windows-x64: manifest parse error -- nested deeper than 256 levels\n"},
  };
  for (const auto& row : rows) {
    Json manifest = good;
    row.damage(manifest);
    WriteFile(Root() + "/manifest.json", manifest.dump());
    const ToolRun run = Verify();
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, row.line);
    EXPECT_EQ(run.err.find("SolvaneSetup"), std::string::npos) << run.err;
  }
}

TEST_F(PublishTest, HelpAndUsage) {
  for (const char* command : {"--help", "add", "verify"}) {
    const ToolRun run = RunTool({SOLVANE_PUBLISH_PROGRAM, command, "--help"});
    EXPECT_EQ(run.exit_code, 0) << command;
    EXPECT_NE(run.out.find("usage: solvane-publish"), std::string::npos);
  }
  EXPECT_EQ(RunTool({SOLVANE_PUBLISH_PROGRAM}).exit_code, 2);
  EXPECT_EQ(RunTool({SOLVANE_PUBLISH_PROGRAM, "remove"}).exit_code, 2);
}

// A published tree on a static server: the real client stages it, applies it,
// and installs it fresh.
TEST_F(PublishTest, PublishedTreeIsServedAndInstalledByTheClient) {
  TempDir home;
  const std::string marker = home.str() + "/installed";
  ASSERT_EQ(Add(SOLVANE_TEST_PLATFORM_KEY, "1.5.0",
                MakeInstaller("Solvane-1.5.0.sh", InstallerScript(marker)), {"--notes", "New"})
                .exit_code,
            0);

  httplib::Server server;
  server.set_mount_point("/solvane", Root());
  ASSERT_TRUE(server.bind_to_port("127.0.0.1", SOLVANE_TEST_PORT));
  std::thread thread([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  EXPECT_EQ(RunProgram(home.str(), {"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home.str()).back(), "check: staged 1.5.0");
  EXPECT_EQ(RunProgram(home.str(), {"--apply"}).exit_code, 0);
  EXPECT_TRUE(WaitForFile(marker));

  TempDir fresh;
  const ProgramRun install = RunProgram(fresh.str(), {});
  EXPECT_EQ(install.exit_code, 0) << install.stderr_text;
  EXPECT_TRUE(WaitForFile(marker));
  const Json state = Json::parse(ReadFile(UpdatesDirIn(fresh.str()) + "/Updates.json"));
  EXPECT_EQ(state["release_notes"], Json({{"version", "1.5.0"}, {"notes", "New"}}));

  server.stop();
  thread.join();
}

// Incompressible bytes, as an installer's stored payload of compressed files.
std::string RandomBytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(&bytes[i], &word, 8);
  }
  return bytes;
}

TEST_F(PublishTest, DeltaPatchesVerifyAndInteroperateWithDebiansZstd) {
  // Over 32 MiB, so the patch holds two frames: each must see the base.
  const std::string old_bytes = RandomBytes(34 << 20, 1);
  std::string new_bytes = old_bytes.substr(0, 1 << 20) + "inserted" + old_bytes.substr(1 << 20);
  new_bytes.replace(20 << 20, 1 << 16, RandomBytes(1 << 16, 2));
  new_bytes.resize(new_bytes.size() - (1 << 20));
  const std::string v1 = MakeInstaller("v1/app.bin", old_bytes);
  const std::string v2 = MakeInstaller("v2/app.bin", new_bytes);
  const std::string unpublished = MakeInstaller("v0/app.bin", RandomBytes(4096, 3));
  ASSERT_EQ(Add("linux-x64", "1.0", v1).exit_code, 0);
  for (const std::string& base : {v2, work_.str() + "/missing.bin"}) {
    const ToolRun refused = Add("linux-x64", "2.0", v2, {"--delta-from", base});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.err.find("--delta-from " + base), std::string::npos) << refused.err;
  }
  const ToolRun added =
      Add("linux-x64", "2.0", v2, {"--delta-from", v1, "--delta-from", unpublished});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  const Json deltas = Manifest()["releases"]["linux-x64"]["2.0"]["deltas"];
  ASSERT_EQ(deltas.size(), 2u);
  const std::string name = "app.bin.from-" + Sha256Of(old_bytes).substr(0, 16) + ".zst";
  const std::string patch = Root() + "/linux-x64/2.0/" + name;
  EXPECT_EQ(deltas[0]["from_sha256"], Sha256Of(old_bytes));
  EXPECT_EQ(deltas[0]["url"], kBase + "linux-x64/2.0/" + name);
  EXPECT_EQ(deltas[0]["sha256"], Sha256Of(ReadFile(patch)));
  EXPECT_EQ(deltas[0]["size"], fs::file_size(patch));
  EXPECT_LT(fs::file_size(patch), 1u << 20);
  ToolRun verified = Verify();
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_NE(verified.out.find("could not be checked"), std::string::npos) << verified.out;

  // Debian's zstd applies our patch, and we apply one it made.
  const std::string out = work_.str() + "/out.bin";
  ASSERT_EQ(
      RunTool({SOLVANE_ZSTD_PROGRAM, "-q", "-d", "--patch-from=" + v1, patch, "-o", out}).exit_code,
      0);
  EXPECT_TRUE(ReadFile(out) == new_bytes);
  const std::string theirs = work_.str() + "/theirs.zst";
  ASSERT_EQ(RunTool({SOLVANE_ZSTD_PROGRAM, "-q", "--patch-from=" + v1, v2, "-o", theirs}).exit_code,
            0);
  const PatchApplied applied = ApplyPatchFile(v1, Sha256Of(old_bytes), theirs, out);
  EXPECT_TRUE(applied.ok) << applied.problem;
  EXPECT_EQ(applied.sha256, Sha256Of(new_bytes));

  // A damaged patch fails verify: by its digest and, listed with the damaged
  // digest, by applying it.
  std::string damaged = ReadFile(patch);
  damaged[damaged.size() / 2] ^= 0x40;
  WriteFile(patch, damaged);
  verified = Verify();
  EXPECT_EQ(verified.exit_code, 1);
  EXPECT_NE(verified.err.find("digest does not match " + patch), std::string::npos);
  Json manifest = Manifest();
  manifest["releases"]["linux-x64"]["2.0"]["deltas"][0]["sha256"] = Sha256Of(damaged);
  WriteFile(Root() + "/manifest.json", manifest.dump());
  verified = Verify();
  EXPECT_EQ(verified.exit_code, 1);
  EXPECT_NE(verified.err.find(name + " does not apply"), std::string::npos) << verified.err;
}

TEST_F(PublishTest, DeltaPatchesForEmptyInstallersAndAcrossRepublishing) {
  // An empty base and an empty new installer both make patches that apply.
  const std::string empty = MakeInstaller("v1/app.bin", "");
  const std::string small = MakeInstaller("v2/app.bin", "a small installer");
  ASSERT_EQ(Add("linux-x64", "1.0", empty).exit_code, 0);
  ASSERT_EQ(Add("linux-x64", "2.0", small, {"--delta-from", empty}).exit_code, 0);
  ASSERT_EQ(
      Add("linux-x64", "3.0", MakeInstaller("v3/app.bin", ""), {"--delta-from", small}).exit_code,
      0);
  ToolRun verified = Verify();
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_EQ(verified.out.find("could not be checked"), std::string::npos) << verified.out;
  const std::string out = work_.str() + "/out.bin";
  for (const auto& [base, version, result] :
       {std::tuple{empty, "2.0", "a small installer"}, std::tuple{small, "3.0", ""}}) {
    const std::string patch = Root() + "/linux-x64/" + version + "/app.bin.from-" +
                              Sha256Of(ReadFile(base)).substr(0, 16) + ".zst";
    ASSERT_EQ(
        RunTool({SOLVANE_ZSTD_PROGRAM, "-q", "-d", "-f", "--patch-from=" + base, patch, "-o", out})
            .exit_code,
        0);
    EXPECT_EQ(ReadFile(out), result);
  }

  // Publishing from the same base again replaces its patch rather than
  // listing two; a new file for the version drops the patches of the old one.
  const std::string other = MakeInstaller("v4/app.bin", "another installer");
  ASSERT_EQ(Add("linux-x64", "4.0", other, {"--delta-from", small}).exit_code, 0);
  ASSERT_EQ(Add("linux-x64", "4.0", other, {"--delta-from", small}).exit_code, 0);
  EXPECT_EQ(Manifest()["releases"]["linux-x64"]["4.0"]["deltas"].size(), 1u);
  ASSERT_EQ(Add("linux-x64", "4.0", MakeInstaller("v5/app.bin", "new"), {"--replace"}).exit_code,
            0);
  EXPECT_FALSE(Manifest()["releases"]["linux-x64"]["4.0"].contains("deltas"));
  verified = Verify();
  EXPECT_EQ(verified.exit_code, 0) << verified.err;

  // A sound patch listed under the wrong release gives another installer.
  Json manifest = Manifest();
  const Json misplaced = manifest["releases"]["linux-x64"]["2.0"]["deltas"][0];
  const std::string name = misplaced["url"].get<std::string>().substr(
      misplaced["url"].get<std::string>().find_last_of('/') + 1);
  fs::copy_file(Root() + "/linux-x64/2.0/" + name, Root() + "/linux-x64/4.0/" + name);
  manifest["releases"]["linux-x64"]["4.0"]["deltas"] = Json::array({misplaced});
  WriteFile(Root() + "/manifest.json", manifest.dump());
  verified = Verify();
  EXPECT_EQ(verified.exit_code, 1);
  EXPECT_NE(verified.err.find("does not give the release's installer"), std::string::npos)
      << verified.err;
}

}  // namespace
}  // namespace solvane
