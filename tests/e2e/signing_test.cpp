// Signed releases through the real program built with two test keys, signed
// by Debian's minisign and by solvane-publish, against a loopback server:
// what passes, what is refused (leaving the state as it was), and that the
// tool's keys and signatures are minisign's own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/clock.h"
#include "release/signed_members.h"
#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/minisign_support.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

const std::string kSignaturePath = kManifestPath + ".minisig";
// Replaces line `index` (0-based) of a signature file.
std::string WithLine(const std::string& signature, int index, const std::string& line) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = signature.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(signature.substr(start, end - start));
  }
  lines.at(static_cast<std::size_t>(index)) = line;
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

class SigningTest : public ::testing::Test {
 protected:
  std::string Updates() const { return UpdatesDirIn(home_.str()); }
  std::string StateFile() const { return Updates() + "/Updates.json"; }
  std::string Installer() const { return InstallerScript(home_.str() + "/installer-ran"); }

  // A manifest offering 1.5.0 with `serial` and `expires` (left out when null).
  std::string Manifest(const Json& serial, const Json& expires, bool with_digest = true) {
    const std::string digest = Sha256Of(Installer());
    Json manifest = Json::parse(ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(),
                                            with_digest ? digest.c_str() : nullptr, "Faster"));
    manifest["releases"][SOLVANE_TEST_PLATFORM_KEY]["1.5.0"]["size"] = Installer().size();
    if (!serial.is_null()) manifest["serial"] = serial;
    if (!expires.is_null()) manifest["expires"] = expires;
    return manifest.dump(2);
  }

  void Serve(const std::string& manifest, const std::string* signature) {
    server_->Serve(kManifestPath, manifest);
    if (signature) {
      server_->Serve(kSignaturePath, *signature);
    } else {
      server_->Handle(kSignaturePath, nullptr);
    }
    server_->Serve(kInstallerPath, Installer());
  }

  ProgramRun SignedCheck() {
    return RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, home_.str(), {"--check", "1.4.0", "--force"});
  }

  Json State() const { return Json::parse(ReadFile(StateFile())); }

  TempDir home_;
  std::unique_ptr<ReleaseServer> server_ = std::make_unique<ReleaseServer>(SOLVANE_TEST_PORT);
};

TEST_F(SigningTest, EitherBuiltInKeyPassesAndTheSerialIsRecorded) {
  int serial = 3;
  for (const char* name : {"release-1", "release-2"}) {
    SCOPED_TRACE(name);
    std::filesystem::remove_all(Updates());
    const std::string manifest = Manifest(serial, InAYear());
    std::string signature = Minisign(manifest, Key(std::string(name) + ".key"));
    // Carriage returns, as a Windows editor or server would add them.
    if (serial == 4) {
      std::string crlf;
      for (char c : signature) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
      signature = crlf;
    }
    Serve(manifest, &signature);
    EXPECT_EQ(SignedCheck().exit_code, 0);
    EXPECT_EQ(LogMessages(home_.str()).back(), "check: staged 1.5.0");
    EXPECT_EQ(State()["manifest_serial"], serial);
    EXPECT_EQ(server_->Hits(kSignaturePath), serial - 2);
    ++serial;
  }
}

// What a build without keys staged (no digest, or a digest of other bytes)
// is never started by a build with keys: its check drops the record and
// downloads the signed release, and its --apply refuses a record without a
// digest.
TEST_F(SigningTest, ASignedBuildTrustsOnlyWhatTheSignedManifestVouchesFor) {
  const std::string other = "#!/bin/sh\necho unsigned > '" + home_.str() + "/other-ran'\n";
  for (const bool with_digest : {false, true}) {
    SCOPED_TRACE(with_digest ? "digest of other bytes" : "no digest");
    std::filesystem::remove_all(Updates());
    server_->Serve(kManifestPath,
                   ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(),
                               with_digest ? Sha256Of(other).c_str() : nullptr, "n"));
    server_->Serve(kInstallerPath, other);
    ASSERT_EQ(RunProgram(home_.str(), {"--check", "1.4.0", "--force"}).exit_code, 0);
    ASSERT_EQ(LogMessages(home_.str()).back(), "check: staged 1.5.0");
    if (!with_digest) {
      EXPECT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, home_.str(), {"--apply"}).exit_code, 1);
      EXPECT_EQ(LogMessages(home_.str()).back(), "apply: staged 1.5.0 has no digest; not started");
    }

    const std::string manifest = Manifest(3, InAYear());
    const std::string signature = Minisign(manifest, Key("release-1.key"));
    Serve(manifest, &signature);
    ASSERT_EQ(SignedCheck().exit_code, 0);
    const Messages log = WorkflowMessages(home_.str());
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Messages(log.end() - 3, log.end()),
              (Messages{"check: staged 1.5.0 is not the signed release, dropped",
                        "check: update available 1.4.0 -> 1.5.0", "check: staged 1.5.0"}));
    EXPECT_EQ(ReadFile(Updates() + "/Solvane-1.5.0.sh"), Installer());
  }
  EXPECT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, home_.str(), {"--apply"}).exit_code, 0);
  EXPECT_TRUE(WaitForFile(home_.str() + "/installer-ran"));
  EXPECT_FALSE(std::filesystem::exists(home_.str() + "/other-ran"));
}

struct Refusal {
  const char* name;
  std::string manifest;
  std::optional<std::string> signature;  // nullopt: 404
  std::string reason;
};

TEST_F(SigningTest, EveryRefusalLogsItsReasonAndLeavesTheStateAsItWas) {
  const std::string good = Manifest(14, InAYear());
  const std::string good_signature = Minisign(good, Key("release-1.key"));
  std::string one_byte = good;
  one_byte[one_byte.find("Faster")] = 'f';
  const std::string expired = Manifest(14, "2020-01-01T00:00:00Z");
  const std::string older = Manifest(11, InAYear());
  const std::string no_digest = Manifest(14, InAYear(), false);
  const std::string no_serial = Manifest(nullptr, InAYear());
  const std::string bad_expiry = Manifest(14, "2027-03-01 00:00:00");
  const Refusal rows[] = {
      {"one changed byte", one_byte, good_signature, "bad signature"},
      {"edited trusted comment", good,
       WithLine(good_signature, 2, "trusted comment: timestamp:1\tfile:manifest.json\thashed"),
       "bad trusted comment"},
      {"foreign key", good, Minisign(good, Key("foreign.key")), "unknown key"},
      {"legacy algorithm", good, Minisign(good, Key("release-1.key"), true), "legacy signature"},
      {"missing signature", good, std::nullopt, "signature missing"},
      {"empty signature", good, "", "signature malformed"},
      {"garbled signature", good, "untrusted comment: x\nRUQ!!!\ntrusted comment: y\nzz\n",
       "signature malformed"},
      {"expired", expired, Minisign(expired, Key("release-2.key")), "expired"},
      {"lower serial", older, Minisign(older, Key("release-1.key")), "older than serial 12"},
      {"release without sha256", no_digest, Minisign(no_digest, Key("release-1.key")),
       "release without sha256"},
      {"no serial", no_serial, Minisign(no_serial, Key("release-1.key")), "serial missing"},
      {"malformed expiry", bad_expiry, Minisign(bad_expiry, Key("release-1.key")),
       "expires malformed"},
  };
  const Json earlier = {{"manifest_serial", 12},
                        {"last_check", 5},
                        {"staged", {{"version", "1.4.5"}, {"installer", "/x/old.sh"}}}};
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(Updates());
    WriteFile(StateFile(), earlier.dump());
    Serve(row.manifest, row.signature ? &*row.signature : nullptr);
    const int installer_hits = server_->Hits(kInstallerPath);

    EXPECT_EQ(SignedCheck().exit_code, 0);
    EXPECT_EQ(LogMessages(home_.str()).back(), "check: manifest rejected: " + row.reason);
    Json after = State();
    EXPECT_GT(after["last_check"].get<std::int64_t>(), 5);
    after["last_check"] = 5;
    EXPECT_EQ(after, earlier);
    EXPECT_EQ(server_->Hits(kInstallerPath), installer_hits);
    EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh"));
  }
}

TEST_F(SigningTest, ALowerSerialAfterAHigherOneIsRefused) {
  const std::string newer = Manifest(20, InAYear());
  const std::string newer_signature = Minisign(newer, Key("release-2.key"));
  Serve(newer, &newer_signature);
  SignedCheck();
  EXPECT_EQ(State()["manifest_serial"], 20);

  // The same manifest again is fine; an older, genuinely signed one is not.
  SignedCheck();
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: already staged 1.5.0");
  const std::string older = Manifest(19, InAYear());
  const std::string older_signature = Minisign(older, Key("release-2.key"));
  Serve(older, &older_signature);
  SignedCheck();
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: manifest rejected: older than serial 20");
  EXPECT_EQ(State()["manifest_serial"], 20);
}

TEST_F(SigningTest, FreshInstallRefusesATamperedManifestWithTheNoReleaseMessage) {
  const std::string manifest = Manifest(2, InAYear());
  const std::string signature = Minisign(manifest, Key("release-1.key"));
  std::string tampered = manifest;
  tampered[tampered.find("1.5.0")] = '2';
  Serve(tampered, &signature);
  const ProgramRun refused = RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, home_.str(), {});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(
      refused.stderr_text.find(
          "Could not find a release for this platform. The release's signature is not valid."),
      std::string::npos)
      << refused.stderr_text;
  // Asked for again past any cache before it is called tampering.
  EXPECT_EQ(WorkflowMessages(home_.str()),
            (std::vector<std::string>{"install: fresh install started",
                                      "FetchManifest: manifest and signature disagreed (bad "
                                      "signature); fetched both again: they still disagree",
                                      "install: manifest rejected: bad signature"}));
  EXPECT_EQ(server_->Hits(kManifestPath), 2);
  EXPECT_EQ(server_->LastHeader(kSignaturePath, "Cache-Control"), "no-cache");
  EXPECT_EQ(server_->Hits(kInstallerPath), 0);

  // Signed as served, it installs and records the serial.
  Serve(manifest, &signature);
  EXPECT_EQ(RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, home_.str(), {}).exit_code, 0);
  EXPECT_EQ(State()["manifest_serial"], 2);
  EXPECT_EQ(State()["release_notes"]["version"], "1.5.0");
}

TEST_F(SigningTest, UnsignedBuildIgnoresSignaturesAndSignedMembers) {
  const std::string manifest = Manifest(nullptr, nullptr, false);
  const std::string garbage = "not a signature";
  Serve(manifest, &garbage);
  EXPECT_EQ(RunProgram(home_.str(), {"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: staged 1.5.0");
  EXPECT_EQ(server_->Hits(kSignaturePath), 0);
  EXPECT_FALSE(State().contains("manifest_serial"));
}

#ifdef SOLVANE_PUBLISH_PROGRAM

ToolRun Publish(const std::vector<std::string>& args) {
  std::vector<std::string> argv{SOLVANE_PUBLISH_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunTool(argv);
}

ToolRun MinisignVerify(const std::string& public_key, const std::string& file) {
  return RunTool({SOLVANE_MINISIGN_PROGRAM, "-V", "-p", public_key, "-m", file});
}

// A release tree made and signed by the tool, served as the server would.
TEST_F(SigningTest, ToolSignedTreePassesTheProgramAndMinisign) {
  TempDir work;
  const std::string site = work.str() + "/site";
  WriteFile(work.str() + "/Solvane-1.5.0.sh", Installer());
  const std::string base = ReleaseUrl("/solvane/");
  ToolRun run =
      Publish({"add", "--root", site, "--base-url", base, "--platform", SOLVANE_TEST_PLATFORM_KEY,
               "--version", "1.5.0", "--valid-days", "30", work.str() + "/Solvane-1.5.0.sh"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const Json manifest = Json::parse(ReadFile(site + "/manifest.json"));
  EXPECT_EQ(manifest["serial"], 1);
  const std::optional<std::int64_t> expires = ParseUtcTime(manifest["expires"].get<std::string>());
  ASSERT_TRUE(expires);
  EXPECT_NEAR(static_cast<double>(*expires - UnixNow()), 30.0 * 86400, 120);

  run = Publish({"sign", "--root", site, "--secret-key", Key("release-2.key")});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  run = MinisignVerify(Key("release-2.pub"), site + "/manifest.json");
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("Trusted comment: timestamp:"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\tfile:manifest.json\thashed"), std::string::npos) << run.out;
  run = Publish({"verify", "--root", site, "--public-key", Key("release-2.pub")});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("signature: valid"), std::string::npos) << run.out;

  // Served as written (the release URL points into the same tree).
  server_->Serve(kManifestPath, ReadFile(site + "/manifest.json"));
  server_->Serve(kSignaturePath, ReadFile(site + "/manifest.json.minisig"));
  const std::string tree_path =
      std::string("/solvane/") + SOLVANE_TEST_PLATFORM_KEY + "/1.5.0/" + "Solvane-1.5.0.sh";
  server_->Serve(tree_path, Installer());
  SignedCheck();
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: staged 1.5.0");

  // Refresh raises the serial and drops the signature that no longer matches.
  run = Publish({"refresh", "--root", site, "--valid-days", "3"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("removed manifest.json.minisig"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(site + "/manifest.json.minisig"));
  EXPECT_EQ(Json::parse(ReadFile(site + "/manifest.json"))["serial"], 2);
  run = Publish({"verify", "--root", site, "--public-key", Key("release-2.pub")});
  EXPECT_EQ(run.exit_code, 1);
  ASSERT_EQ(Publish({"sign", "--root", site, "--secret-key", Key("release-1.key")}).exit_code, 0);
  run = Publish({"verify", "--root", site, "--public-key", Key("release-1.pub")});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("warning: the manifest expires in "), std::string::npos) << run.out;
  // The wrong public key is a problem.
  EXPECT_EQ(Publish({"verify", "--root", site, "--public-key", Key("release-2.pub")}).exit_code, 1);

  // Publishing again changes the manifest: serial 3, and the signature goes.
  WriteFile(work.str() + "/Solvane-1.6.0.sh", Installer() + "# 1.6\n");
  run = Publish({"add", "--root", site, "--base-url", base, "--platform", SOLVANE_TEST_PLATFORM_KEY,
                 "--version", "1.6.0", work.str() + "/Solvane-1.6.0.sh"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("removed manifest.json.minisig"), std::string::npos) << run.out;
  EXPECT_EQ(Json::parse(ReadFile(site + "/manifest.json"))["serial"], 3);
}

TEST_F(SigningTest, ToolRefusesToSignWhatClientsWouldRefuse) {
  TempDir work;
  const std::string site = work.str() + "/site";
  WriteFile(site + "/manifest.json", Manifest(4, "2020-01-01T00:00:00Z"));
  ToolRun run = Publish({"sign", "--root", site, "--secret-key", Key("release-1.key")});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("expired"), std::string::npos) << run.err;
  WriteFile(site + "/manifest.json", Manifest(nullptr, InAYear()));
  EXPECT_EQ(Publish({"sign", "--root", site, "--secret-key", Key("release-1.key")}).exit_code, 2);
  EXPECT_FALSE(std::filesystem::exists(site + "/manifest.json.minisig"));
}

// Password-protected keys both ways: minisign's read by the tool, the tool's
// read by minisign. Each scrypt derivation takes seconds and 1 GiB.
TEST_F(SigningTest, PasswordProtectedKeysWorkBothWays) {
  TempDir work;
  const std::string site = work.str() + "/site";
  WriteFile(site + "/manifest.json", Manifest(4, InAYear()));
  ToolRun run = Publish({"sign", "--root", site, "--secret-key", Key("protected.key")});
  EXPECT_EQ(run.exit_code, 2) << "no password and no terminal";
  setenv("SOLVANE_SECRET_KEY_PASSWORD", "wrong", 1);
  run = Publish({"sign", "--root", site, "--secret-key", Key("protected.key")});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("wrong password"), std::string::npos) << run.err;
  setenv("SOLVANE_SECRET_KEY_PASSWORD", "solvane-test", 1);
  run = Publish({"sign", "--root", site, "--secret-key", Key("protected.key")});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(MinisignVerify(Key("protected.pub"), site + "/manifest.json").exit_code, 0);

  // The tool's own password-protected pair, used by minisign to sign.
  setenv("SOLVANE_SECRET_KEY_PASSWORD", "tool pass", 1);
  const std::string pub = work.str() + "/tool.pub", key = work.str() + "/tool.key";
  run = Publish({"keygen", "--public-key", pub, "--secret-key", key});
  unsetenv("SOLVANE_SECRET_KEY_PASSWORD");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(std::filesystem::status(key).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  run = RunTool({"/bin/sh", "-c",
                 "printf 'tool pass\\n' | '" + std::string(SOLVANE_MINISIGN_PROGRAM) + "' -S -s '" +
                     key + "' -m '" + site + "/manifest.json'"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(MinisignVerify(pub, site + "/manifest.json").exit_code, 0);
  // Keys are never overwritten.
  EXPECT_EQ(Publish({"keygen", "--no-password", "--public-key", pub, "--secret-key",
                     work.str() + "/other.key"})
                .exit_code,
            2);

  // An unprotected pair of the tool's, and its signature checked by minisign.
  const std::string pub2 = work.str() + "/plain.pub", key2 = work.str() + "/plain.key";
  ASSERT_EQ(
      Publish({"keygen", "--no-password", "--public-key", pub2, "--secret-key", key2}).exit_code,
      0);
  ASSERT_EQ(Publish({"sign", "--root", site, "--secret-key", key2}).exit_code, 0);
  EXPECT_EQ(MinisignVerify(pub2, site + "/manifest.json").exit_code, 0);
  EXPECT_NE(MinisignVerify(Key("release-1.pub"), site + "/manifest.json").exit_code, 0);
}

#endif  // SOLVANE_PUBLISH_PROGRAM

}  // namespace
}  // namespace solvane
