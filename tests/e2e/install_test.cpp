// The fresh install through the real program without a display: the steps
// and the error texts arrive on standard error (not a terminal here, so one
// line per step change and no progress line), against a release server on
// loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cctype>
#include <filesystem>

#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/forward_proxy.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

// What the text form prints for a whole successful install of `version`.
std::string SuccessTranscript(const std::string& version) {
  const std::string download = "  Downloading Solvane " + version + "...";
  return "Solvane Setup\n"
         "  Fetching release information...\n"
         "  Fetching release information...  \u2714\n" +
         download + "\n" + download +
         "  \u2714\n"
         "  Verifying download...\n"
         "  Verifying download...  \u2714\n"
         "  Launching installer...\n"
         "  Launching installer...  \u2714\n";
}

class InstallTest : public ::testing::Test {
 protected:
  std::string Updates() const { return UpdatesDirIn(home_.str()); }
  std::string StateFile() const { return Updates() + "/Updates.json"; }
  std::string Marker() const { return home_.str() + "/installer-ran"; }
  std::string Installer() const { return InstallerScript(Marker()); }
  std::string Downloaded() const { return Updates() + "/Solvane-1.5.0.sh"; }

  // Publishes the installer script as `version`, with its digest unless told.
  void Publish(const std::string& version = "1.5.0", const char* sha256 = "",
               const char* notes = "Faster sync") {
    const std::string digest = Sha256Of(Installer());
    const char* sha = sha256 && sha256[0] == '\0' ? digest.c_str() : sha256;
    server_->Serve(kManifestPath,
                   ManifestFor(version, ReleaseUrl(kInstallerPath).c_str(), sha, notes));
    server_->Serve(kInstallerPath, Installer());
  }

  ProgramRun Install(const std::map<std::string, std::string>& env = {}) {
    return RunProgram(home_.str(), {}, env);
  }

  TempDir home_;
  std::unique_ptr<ReleaseServer> server_ = std::make_unique<ReleaseServer>(SOLVANE_TEST_PORT);
};

TEST_F(InstallTest, InstallsTheStableReleaseAndRecordsItsNotes) {
  WriteFile(StateFile(), R"({"last_check": 7, "staged": {"version": "1.4.0"}})");
  Publish();
  const auto run = Install();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stderr_text, SuccessTranscript("1.5.0"));
  ASSERT_TRUE(WaitForFile(Marker()));
  EXPECT_EQ(ReadFile(Marker()), "ran\n");
  EXPECT_EQ(ReadFile(Downloaded()), Installer());
  EXPECT_EQ(server_->Hits(kManifestPath), 1);
  EXPECT_EQ(server_->Hits(kInstallerPath), 1);
  // The install writes release_notes and keeps the verified installer as
  // the base of delta updates; staged and last_check stay as they were.
  Json state = Json::parse(ReadFile(StateFile()));
  EXPECT_EQ(state["base"]["installer"], Downloaded());
  EXPECT_EQ(state["base"]["version"], "1.5.0");
  state.erase("base");
  // The installation's rollout draw, kept for its checks.
  EXPECT_TRUE(state["rollout_draw"].is_number_unsigned());
  state.erase("rollout_draw");
  EXPECT_EQ(state, Json::parse(R"({"last_check": 7, "staged": {"version": "1.4.0"},
                            "release_notes": {"version": "1.5.0", "notes": "Faster sync"}})"));
  // The install's start, then the manifest's and the installer's routes.
  EXPECT_EQ(LogMessages(home_.str()), (std::vector<std::string>{"install: fresh install started",
                                                                "FetchManifest: route direct",
                                                                "FetchManifest: route direct"}));
}

TEST_F(InstallTest, DisplayThatCannotBeOpenedFallsBackToText) {
  Publish();
  const auto run = Install({{"DISPLAY", ":7531"}, {"WAYLAND_DISPLAY", "solvane-none"}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stderr_text, SuccessTranscript("1.5.0"));
  EXPECT_TRUE(WaitForFile(Marker()));
}

TEST_F(InstallTest, ReleaseWithoutDigestIsInstalledUnverified) {
  Publish("1.5.0", nullptr, nullptr);
  const auto run = Install();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stderr_text, SuccessTranscript("1.5.0"));
  ASSERT_TRUE(WaitForFile(Marker()));
  EXPECT_EQ(Json::parse(ReadFile(StateFile()))["release_notes"],
            Json::parse(R"({"version": "1.5.0", "notes": ""})"));
}

TEST_F(InstallTest, EmptyStableVersionIsInstalledWithoutReleaseNotes) {
  Publish("");
  const auto run = Install();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stderr_text, SuccessTranscript(""));
  EXPECT_NE(run.stderr_text.find("\n  Downloading Solvane ...\n"), std::string::npos);
  ASSERT_TRUE(WaitForFile(Marker()));
  EXPECT_FALSE(Json::parse(ReadFile(StateFile())).contains("release_notes"));
}

TEST_F(InstallTest, NonAsciiVersionIsShownAsUtf8) {
  Publish("1.5.0-\xC3\x9F\xE2\x82\xAC");  // "1.5.0-ß€"
  const auto run = Install();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stderr_text, SuccessTranscript("1.5.0-\xC3\x9F\xE2\x82\xAC"));
}

TEST_F(InstallTest, NoReleaseForThePlatformStopsAfterTheFirstStep) {
  const std::string fetching = "Solvane Setup\n  Fetching release information...\n";
  const std::string expected = "Could not find a release for this platform.";
  const std::string no_release =
      std::string("install: no release for ") + SOLVANE_TEST_PLATFORM_KEY;
  const std::string type_error =
      "[json.exception.type_error.302] type must be string, but is number";
  const std::string releases = std::string(R"({"current": {"stable": {")") +
                               SOLVANE_TEST_PLATFORM_KEY + R"(": "1.5.0"}}, "releases": {")" +
                               SOLVANE_TEST_PLATFORM_KEY + R"(": {"1.5.0": )";
  struct Case {
    const char* name;
    std::string body;
    int status;
    std::string why;  // the message's second sentence
    std::string logged;
    std::string on_stderr = "";  // before the message
    std::string logged_before = "";
  };
  const Case cases[] = {
      {"manifest 404", "", 404, " The server answered with an error (HTTP 404).",
       "install: manifest fetch failed: HTTP 404"},
      {"other platforms only",
       R"({"current": {"stable": {"elsewhere": "1.0"}}, "releases": {"elsewhere": {"1.0": {"url": "x"}}}})",
       200, "", no_release},
      {"entry without url", ManifestFor("1.5.0", nullptr, nullptr, "n"), 200, "", no_release},
      // A digest of the wrong type makes the whole manifest unusable.
      {"sha256 not a string", releases + R"({"url": "x", "sha256": 5}}}})", 200,
       " The release information could not be read.", "install: manifest unusable: " + type_error,
       "SolvaneSetup: manifest parse error -- " + type_error + "\n"},
      {"outside the rollout", releases + R"({"url": "x", "rollout": {"percent": 0}}}}})", 200, "",
       no_release, "", "install: outside the rollout of 1.5.0 (0%)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir home;
    server_->Serve(kManifestPath, c.body, c.status);
    const auto run = RunProgram(home.str(), {});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.stderr_text, fetching + c.on_stderr + expected + c.why + "\n");
    const Messages log = LogMessages(home.str());
    EXPECT_EQ(log.back(), c.logged);
    if (!c.logged_before.empty()) {
      EXPECT_EQ(log.at(log.size() - 2), c.logged_before);
    }
    // Nothing but the log is left behind.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(UpdatesDirIn(home.str()))) {
      files.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(files, std::vector<std::string>{"SolvaneSetup.log"});
  }
}

TEST_F(InstallTest, AFailedFetchSaysWhyInTheSameMessage) {
  const std::string fixed =
      "Solvane Setup\n"
      "  Fetching release information...\n"
      "Could not find a release for this platform. ";
  ForwardProxy refusing;
  refusing.RequireSignIn({"Basic realm=\"corp\""});
  const auto refused = Install({{"http_proxy", refusing.Address()}});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.stderr_text, fixed + "The proxy asks for a sign-in.\n");
  EXPECT_EQ(LogMessages(home_.str()).back(),
            "install: manifest fetch failed: proxy sign-in refused (HTTP 407)");

  server_.reset();  // nothing listens on the release port any more
  const auto unreachable = Install();
  EXPECT_EQ(unreachable.exit_code, 1);
  EXPECT_EQ(unreachable.stderr_text, fixed + "The server could not be reached.\n");
  EXPECT_EQ(LogMessages(home_.str()).back(),
            "install: manifest fetch failed: cannot connect (curl=7 Couldn't connect to server)");
}

TEST_F(InstallTest, FailedDownloadOrDigestLeavesNoFile) {
  const std::string failed_download =
      "Solvane Setup\n"
      "  Fetching release information...\n"
      "  Fetching release information...  \u2714\n"
      "  Downloading Solvane 1.5.0...\n"
      "Download failed or verification error. The server answered with an error (HTTP ";
  const std::string failed_digest =
      "Solvane Setup\n"
      "  Fetching release information...\n"
      "  Fetching release information...  \u2714\n"
      "  Downloading Solvane 1.5.0...\n"
      "  Downloading Solvane 1.5.0...  \u2714\n"
      "  Verifying download...\n"
      "Download failed or verification error. The download does not match the published "
      "release.\n";
  const std::string right = Sha256Of(Installer());
  std::string upper = right;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  struct Case {
    const char* name;
    int status;
    std::string sha256;
    std::string transcript;
    std::string reason;
  };
  const Case cases[] = {
      {"status 500 with a body", 500, right, failed_download + "500).\n", "HTTP 500"},
      {"status 404", 404, right, failed_download + "404).\n", "HTTP 404"},
      {"digest mismatch", 200, std::string(64, 'a'), failed_digest, "digest mismatch"},
      {"digest in upper case", 200, upper, failed_digest, "digest mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir home;
    server_->Serve(kManifestPath,
                   ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(), c.sha256.c_str(), "n"));
    server_->Serve(kInstallerPath, Installer(), c.status);
    const auto run = RunProgram(home.str(), {});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.stderr_text, c.transcript);
    EXPECT_EQ(LogMessages(home.str()).back(),
              "install: download/verify failed for 1.5.0: " + c.reason);
    EXPECT_FALSE(std::filesystem::exists(UpdatesDirIn(home.str()) + "/Solvane-1.5.0.sh"));
    EXPECT_FALSE(std::filesystem::exists(UpdatesDirIn(home.str()) + "/Updates.json"));
  }
  EXPECT_FALSE(std::filesystem::exists(Marker()));
}

// Too little room on the updates folder's disk: nothing is asked for, and
// the window says why in its second sentence.
TEST_F(InstallTest, NoRoomForTheReleaseFailsTheDownloadBeforeItStarts) {
  const SmallDisk disk(Updates());
  if (!disk.mounted) {
    std::printf("not tested here: %s; EnoughSpaceFor is tested on its own\n", disk.refused.c_str());
    return;
  }
  Json manifest = Json::parse(
      ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(), Sha256Of(Installer()).c_str(), "n"));
  manifest["releases"][SOLVANE_TEST_PLATFORM_KEY]["1.5.0"]["size"] = 8 << 20;
  server_->Serve(kManifestPath, manifest.dump());
  const ProgramRun run = RunProgram(home_.str(), {});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(run.stderr_text.ends_with(
      "Download failed or verification error. The download could not be saved; the disk may "
      "be full.\n"))
      << run.stderr_text;
  EXPECT_EQ(LogMessages(home_.str()).back(),
            "install: download/verify failed for 1.5.0: cannot write (disk full)");
  EXPECT_EQ(server_->Hits(kInstallerPath), 0);
}

TEST_F(InstallTest, ReleaseUrlEndingInASlashIsAFailedDownload) {
  server_->Serve(kManifestPath,
                 ManifestFor("1.5.0", ReleaseUrl("/solvane/releases/").c_str(), nullptr, nullptr));
  const auto run = Install();
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.stderr_text.find("Download failed or verification error.\n"), std::string::npos)
      << run.stderr_text;
  EXPECT_TRUE(std::filesystem::is_directory(Updates()));
}

TEST_F(InstallTest, LaunchFailureSaysWhyAndKeepsTheInstallerAndNotes) {
  // A document, not a program, and no desktop opener on the path.
  const std::string path = "/solvane/releases/1.5.0/notes.txt";
  server_->Serve(kManifestPath,
                 ManifestFor("1.5.0", ReleaseUrl(path).c_str(), nullptr, "Faster sync"));
  server_->Serve(path, "plain text");
  const auto run = Install({{"PATH", "/nonexistent"}});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.stderr_text,
            "Solvane Setup\n"
            "  Fetching release information...\n"
            "  Fetching release information...  \u2714\n"
            "  Downloading Solvane 1.5.0...\n"
            "  Downloading Solvane 1.5.0...  \u2714\n"
            "  Verifying download...\n"
            "  Verifying download...  \u2714\n"
            "  Launching installer...\n"
            "The installer could not be started. xdg-open: No such file or directory.\n");
  EXPECT_EQ(LogMessages(home_.str()).back(), "install: cannot start " + Updates() +
                                                 "/notes.txt: xdg-open: No such file or directory");
  EXPECT_EQ(ReadFile(Updates() + "/notes.txt"), "plain text");
  EXPECT_EQ(Json::parse(ReadFile(StateFile()))["release_notes"]["version"], "1.5.0");
}

}  // namespace
}  // namespace solvane
