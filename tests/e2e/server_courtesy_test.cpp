// What a check costs the release server, through the real programs: an
// unchanged release asked after rather than fetched again, a server's request
// to wait honoured, compressed manifests, one connection per check, and the
// spread wait before an unforced check.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <regex>

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

class ServerCourtesyTest : public ProgramTest {
 protected:
  std::string KeptManifest() const { return Updates() + "/Manifest.kept.json"; }
  std::string KeptSignature() const { return Updates() + "/Manifest.kept.json.minisig"; }
  std::string Installer() const { return InstallerScript(Home() + "/installer-ran"); }

  // A manifest offering 1.5.0 with `serial`, its installer served.
  std::string Manifest(std::int64_t serial, const std::string& expires = InAYear()) {
    Json manifest = Json::parse(ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(),
                                            Sha256Of(Installer()).c_str(), "n"));
    manifest["releases"][SOLVANE_TEST_PLATFORM_KEY]["1.5.0"]["size"] = Installer().size();
    manifest["serial"] = serial;
    manifest["expires"] = expires;
    server_->Serve(kInstallerPath, Installer());
    return manifest.dump(2);
  }

  // Manifest(serial) signed, served with ETags `tag` and "s-" + `tag`.
  std::string Publish(const std::string& tag, std::int64_t serial,
                      const std::string& expires = InAYear(), bool gzip = false,
                      bool always_gzip = false) {
    const std::string text = Manifest(serial, expires);
    server_->ServeVersioned(kManifestPath, {text, "\"" + tag + "\"", "", gzip, always_gzip, ""});
    server_->ServeVersioned(kSignaturePath, {Minisign(text, Key("release-1.key")),
                                             "\"s-" + tag + "\"", "", false, false, ""});
    return text;
  }

  ProgramRun SignedCheck(const std::string& version = "1.4.0") {
    return RunProgramAt(SOLVANE_TEST_SIGNED_PROGRAM, Home(), {"--check", version, "--force"});
  }
  std::string Sent(const std::string& path, const char* header) {
    return server_->LastHeader(path, header);
  }
};

TEST_F(ServerCourtesyTest, AnUnchangedReleaseIsAskedAfterOnOneConnection) {
  const std::string manifest = Publish("m1", 5);
  SignedCheck();
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
  // The manifest, its signature and the installer came over one connection.
  EXPECT_EQ(server_->Connections(), 1);
  EXPECT_EQ(ReadFile(KeptManifest()), manifest);
  EXPECT_EQ(State()["kept_manifest"]["etag"], "\"m1\"");
  EXPECT_EQ(State()["kept_manifest"]["signature_etag"], "\"s-m1\"");

  // Asked again: both answers are 304s, and the kept copy stands in.
  SignedCheck();
  EXPECT_EQ(Sent(kManifestPath, "If-None-Match"), "\"m1\"");
  EXPECT_EQ(Sent(kSignaturePath, "If-None-Match"), "\"s-m1\"");
  EXPECT_EQ(LogMessages(Home()).back(), "check: already staged 1.5.0");
  EXPECT_EQ(server_->Connections(), 2);

  // A new manifest replaces the kept copy.
  const std::string changed = Publish("m2", 6);
  SignedCheck();
  EXPECT_EQ(LogMessages(Home()).back(), "check: already staged 1.5.0");
  EXPECT_EQ(ReadFile(KeptManifest()), changed);
  EXPECT_EQ(State()["kept_manifest"]["etag"], "\"m2\"");
  EXPECT_EQ(State()["manifest_serial"], 6);
}

TEST_F(ServerCourtesyTest, AKeptCopyThatNoLongerPassesIsDroppedAndFetchedInFullNextTime) {
  // Damaged on disk: the 304 brings it in, its signature fails.
  const std::string manifest = Publish("m1", 5);
  SignedCheck();
  WriteFile(KeptManifest(), manifest + " ");
  SignedCheck();
  EXPECT_EQ(LogMessages(Home()).back(), "check: manifest rejected: bad signature");
  EXPECT_FALSE(std::filesystem::exists(KeptManifest()));
  EXPECT_FALSE(std::filesystem::exists(KeptSignature()));
  EXPECT_FALSE(State().contains("kept_manifest"));
  SignedCheck();
  EXPECT_EQ(Sent(kManifestPath, "If-None-Match"), "");
  EXPECT_EQ(LogMessages(Home()).back(), "check: already staged 1.5.0");
  EXPECT_TRUE(std::filesystem::exists(KeptManifest()));

  // Expired since it was kept: the server still calls it current, the check
  // refuses it as it would a fresh one.
  const std::string expired = Publish("m1", 5, FormatUtcTime(UnixNow() - 60));
  WriteFile(KeptManifest(), expired);
  WriteFile(KeptSignature(), Minisign(expired, Key("release-1.key")));
  SignedCheck();
  const std::string last = LogMessages(Home()).back();
  EXPECT_TRUE(last.starts_with("check: manifest rejected: ")) << last;
  EXPECT_NE(last.find("expired"), std::string::npos) << last;
  EXPECT_FALSE(std::filesystem::exists(KeptManifest()));
  EXPECT_FALSE(State().contains("kept_manifest"));
}

// Validators no server sends to tell versions apart (long, not printable
// ASCII, a date with more after it) are dropped as they arrive, with a line
// that blames the answer: the state file stays small and can be saved, the
// serial stays, and the next check fetches in full.
TEST_F(ServerCourtesyTest, UnusableValidatorsAreDroppedAndTheStateStaysSmall) {
  const struct {
    const char* name;
    std::string etag;
    std::string last_modified;
    std::string dropped;
  } rows[] = {
      {"90,000 control characters", std::string(90000, '\x01'), "", "ETag"},
      {"not UTF-8", "\"\xff\xfe\"", "", "ETag"},
      {"over 256 bytes", "\"" + std::string(255, 'a') + "\"", "", "ETag"},
      {"a date followed by junk", "", FormatHttpDate(UnixNow() - 3600) + " junk", "Last-Modified"},
  };
  const std::string manifest = Manifest(5);
  const std::string signature = Minisign(manifest, Key("release-1.key"));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(Updates());
    for (const auto& [path, body] :
         {std::pair{kManifestPath, manifest}, {kSignaturePath, signature}}) {
      server_->ServeVersioned(path, {body, row.etag, row.last_modified, false, false, ""});
    }
    SignedCheck();
    const Messages log = WorkflowMessages(Home());
    const std::string dropped = "FetchManifest: validator dropped (unusable " + row.dropped + ")";
    EXPECT_EQ(std::count(log.begin(), log.end(), dropped), 2);
    EXPECT_EQ(log.back(), "check: staged 1.5.0");
    EXPECT_LT(std::filesystem::file_size(StateFile()), 2048u);
    EXPECT_FALSE(State().contains("kept_manifest"));
    SignedCheck();
    EXPECT_EQ(LogMessages(Home()).back(), "check: already staged 1.5.0");
    EXPECT_EQ(State()["manifest_serial"], 5);
  }

  // Stored by an older program: read as absent, never sent again.
  Publish("m1", 5);
  SignedCheck();
  Json state = State();
  state["kept_manifest"]["etag"] = "\"m1\x01\"";
  WriteFile(StateFile(), state.dump());
  SignedCheck();
  EXPECT_EQ(Sent(kManifestPath, "If-None-Match"), "");
  EXPECT_EQ(State()["kept_manifest"]["etag"], "\"m1\"");
}

// nginx makes its ETag of the file's modification time in seconds and its
// size. A manifest rewritten within its second at the same size keeps it;
// a check that fetched the first within that second still sees the second.
TEST_F(ServerCourtesyTest, AManifestRewrittenWithinItsSecondIsSeenBehindAnNginxLikeServer) {
  const std::int64_t second = UnixNow() - 600;
  const auto publish = [&](std::int64_t serial, std::int64_t answered) {
    const std::string manifest = Manifest(serial);
    const std::string signature = Minisign(manifest, Key("release-1.key"));
    for (const auto& [path, body] :
         {std::pair{kManifestPath, manifest}, {kSignaturePath, signature}}) {
      char etag[40];
      std::snprintf(etag, sizeof etag, "\"%llx-%zx\"", static_cast<unsigned long long>(second),
                    body.size());
      server_->ServeVersioned(
          path, {body, etag, FormatHttpDate(second), false, false, FormatHttpDate(answered)});
    }
    return manifest;
  };
  const std::string first = publish(5, second);
  SignedCheck();
  EXPECT_FALSE(State().contains("kept_manifest"));
  ASSERT_EQ(publish(6, second).size(), first.size());
  SignedCheck();
  EXPECT_EQ(State()["manifest_serial"], 6);

  // Answered a second later, the ETag tells versions apart and is asked with.
  publish(6, second + 1);
  SignedCheck();
  SignedCheck();
  EXPECT_EQ(Sent(kManifestPath, "If-None-Match"), State()["kept_manifest"]["etag"]);
  EXPECT_EQ(LogMessages(Home()).back(), "check: already staged 1.5.0");
}

// A cache that holds the manifest and its signature apart hands out the new
// manifest with the previous publication's signature: the check fetches both
// again past every cache and takes them, rather than calling it tampering.
TEST_F(ServerCourtesyTest, AStaleSignatureFromACacheIsFetchedAgainPastIt) {
  Publish("m1", 5);
  SignedCheck();
  const std::string stale = ReadFile(KeptSignature());

  const std::string manifest = Publish("m2", 6);
  const std::string signature = Minisign(manifest, Key("release-1.key"));
  auto asked = std::make_shared<std::atomic<int>>(0);
  server_->Handle(kSignaturePath, [=](const httplib::Request&, httplib::Response& response) {
    response.set_content(asked->fetch_add(1) == 0 ? stale : signature, "application/octet-stream");
  });
  SignedCheck();
  const Messages log = WorkflowMessages(Home());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "FetchManifest: manifest and signature disagreed (bad signature); fetched "
                      "both again: they agree"),
            log.end());
  EXPECT_EQ(log.back(), "check: already staged 1.5.0");
  EXPECT_EQ(State()["manifest_serial"], 6);
  EXPECT_EQ(Sent(kManifestPath, "Cache-Control"), "no-cache");
  EXPECT_EQ(Sent(kSignaturePath, "Cache-Control"), "no-cache");
  EXPECT_EQ(ReadFile(KeptSignature()), signature);
}

TEST_F(ServerCourtesyTest, ARetryAfterHoldsUnforcedChecksAndIsLoggedOnce) {
  struct Case {
    std::string retry_after;
    std::int64_t hold;
  };
  const std::int64_t now = UnixNow();
  for (const Case& c : {Case{"7200", 7200}, Case{FormatHttpDate(now + 3 * 86400), 86400}}) {
    SCOPED_TRACE(c.retry_after);
    std::filesystem::remove_all(Updates());
    server_ = std::make_unique<ReleaseServer>(SOLVANE_TEST_PORT);
    server_->Handle(kManifestPath, [&c](const httplib::Request&, httplib::Response& response) {
      response.status = 429;
      response.set_header("Retry-After", c.retry_after);
    });
    EXPECT_EQ(RunProgram(Home(), {"--check", "1.4.0"}).exit_code, 0);
    const std::int64_t until = State()["check_hold_until"].get<std::int64_t>();
    EXPECT_NEAR(static_cast<double>(until - UnixNow()), static_cast<double>(c.hold), 10.0);
    EXPECT_EQ(LogMessages(Home())[3],
              "check: the server asks to wait until " + FormatUtcTime(until));

    // Held back even once a day has passed since the check; logged once.
    Json state = State();
    state["last_check"] = UnixNow() - 86400;
    WriteFile(StateFile(), state.dump());
    EXPECT_EQ(RunProgram(Home(), {"--check", "1.4.0"}).exit_code, 0);
    EXPECT_EQ(LogMessages(Home()).back(), "check: skipped (the server asked to wait)");
    EXPECT_EQ(server_->Hits(kManifestPath), 1);

    // A forced check goes ahead, and a plain answer ends the hold.
    server_->Serve(kManifestPath,
                   ManifestFor("1.0.0", ReleaseUrl(kInstallerPath).c_str(), nullptr, nullptr));
    EXPECT_EQ(RunProgram(Home(), {"--check", "1.4.0", "--force"}).exit_code, 0);
    EXPECT_EQ(LogMessages(Home()).back(), "check: up to date");
    EXPECT_FALSE(State().contains("check_hold_until"));
    const Messages log = LogMessages(Home());
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& m) { return m.find("asks to wait") != m.npos; }),
              1);
  }
}

TEST_F(ServerCourtesyTest, CompressedAndPlainManifestsFromOneServer) {
  // Encoded when asked (gzip on), then always (a host storing it compressed).
  for (const bool always : {false, true}) {
    SCOPED_TRACE(always ? "always gzip" : "gzip when asked");
    std::filesystem::remove_all(Updates());
    Publish("m1", 5, InAYear(), true, always);
    SignedCheck();
    EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
    EXPECT_NE(Sent(kManifestPath, "Accept-Encoding").find("gzip"), std::string::npos);
    // The signature came unencoded; the installer was asked for as its own bytes.
    EXPECT_EQ(Sent(kInstallerPath, "Accept-Encoding"), "");
  }
}

TEST_F(ServerCourtesyTest, OnlyADueUnforcedCheckWaitsBeforeItsFirstRequest) {
  server_->Serve(kManifestPath,
                 ManifestFor("1.0.0", ReleaseUrl(kInstallerPath).c_str(), nullptr, nullptr));
  const std::regex waiting("check: waiting [012] s before asking the server");
  RunProgramAt(SOLVANE_TEST_SPREAD_PROGRAM, Home(), {"--check", "1.4.0"});
  Messages log = LogMessages(Home());
  ASSERT_EQ(log.size(), 5u);
  EXPECT_TRUE(std::regex_match(log[1], waiting)) << log[1];
  EXPECT_EQ(log.back(), "check: up to date");

  // Skipped or forced, nothing waits.
  for (const char* extra : {"", "--force"}) {
    std::filesystem::remove(Updates() + "/SolvaneSetup.log");
    std::vector<std::string> args{"--check", "1.4.0"};
    if (*extra) args.push_back(extra);
    RunProgramAt(SOLVANE_TEST_SPREAD_PROGRAM, Home(), args);
    log = LogMessages(Home());
    EXPECT_EQ(log.back(), *extra ? "check: up to date" : "check: skipped (within 24h interval)");
    for (const std::string& line : log) EXPECT_FALSE(std::regex_match(line, waiting)) << line;
  }
}

}  // namespace
}  // namespace solvane
