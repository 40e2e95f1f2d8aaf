// Hostile and broken input through the real program: manifests, state files,
// log files and an environment that try to exhaust memory, hang the program,
// forge log lines or make it lose records.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>

#include "platform/clock.h"
#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

class HostileInputTest : public ProgramTest {
 protected:
  std::string LogFile() const { return Updates() + "/SolvaneSetup.log"; }
  std::string Installer() const { return InstallerScript(Home() + "/ran"); }

  // Publishes `version` with `notes`, the installer verified.
  void Publish(const std::string& version, const std::string& notes = "n") {
    const std::string digest = Sha256Of(Installer());
    server_->Serve(kManifestPath, ManifestFor(version, ReleaseUrl(kInstallerPath).c_str(),
                                              digest.c_str(), notes.c_str()));
    server_->Serve(kInstallerPath, Installer());
  }

  // A manifest listing 1.5.0 with the installer's digest and `size`.
  void PublishSized(std::int64_t size) {
    Json manifest = Json::parse(ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(),
                                            Sha256Of(Installer()).c_str(), "n"));
    manifest["releases"][SOLVANE_TEST_PLATFORM_KEY]["1.5.0"]["size"] = size;
    server_->Serve(kManifestPath, manifest.dump());
  }

  ProgramRun Check(const std::string& current = "1.4.0", bool force = true) {
    std::vector<std::string> args{"--check", current};
    if (force) args.push_back("--force");
    return RunProgram(Home(), args);
  }
};

// Manifests just under the 16 MiB body cap that once cost the parser up to
// 1.27 GB. The body is held while it arrives and once as text; the parser
// builds only what it reads.
TEST_F(HostileInputTest, ManifestsUnderTheBodyCapCostAFewTimesTheirSize) {
  const std::size_t size = 16u * 1024 * 1024 - 1;
  const std::string release =
      ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(), Sha256Of(Installer()).c_str(), "n");
  // `filler` repeated inside a member of the manifest's top object.
  const auto padded = [&](const std::string& open, const std::string& filler,
                          const std::string& close) {
    std::string text = "{\"x\":" + open;
    while (text.size() + filler.size() + close.size() + release.size() < size) text += filler;
    return text + close + "," + release.substr(1);
  };
  server_->Serve(kInstallerPath, Installer());
  const struct {
    const char* name;
    std::function<std::string()> body;
    std::string log_tail;
    std::string stderr_text;
  } rows[] = {
      {"open brackets", [&] { return std::string(size, '['); },
       "check: manifest unusable: nested deeper than 256 levels",
       "SolvaneSetup: manifest parse error -- nested deeper than 256 levels\n"},
      {"empty arrays", [&] { return padded("[", "[],", "[]]"); }, "check: staged 1.5.0", ""},
      // The same release again: parsed whole, then found staged already.
      {"empty objects", [&] { return padded("[", "{},", "{}]"); }, "check: already staged 1.5.0",
       ""},
      {"many members", [&] { return padded("{", "\"k\":{},", "\"k\":1}"); },
       "check: already staged 1.5.0", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::size_t body_size = 0;
    {
      const std::string body = row.body();  // only the server keeps a copy
      ASSERT_LE(body.size(), size);
      body_size = body.size();
      server_->Serve(kManifestPath, body);
    }
    const ProgramRun run = Check();
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.stderr_text, row.stderr_text);
    EXPECT_EQ(LogMessages(Home()).back(), row.log_tail);
    const long body_kib = static_cast<long>(body_size / 1024);
    std::printf("peak resident memory, %ld KiB of %s: %ld KiB\n", body_kib, row.name,
                run.peak_rss_kib);
    // Measured alone the program peaks at 1.3 to 4.2 times the body; the
    // figure here may include what this process held when it started the
    // program. Before the limits these inputs took 27 to 78 times. ASan's
    // quarantine keeps freed memory resident, so only its absence is bounded.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(run.peak_rss_kib, 12 * body_kib);
#endif
  }
}

TEST_F(HostileInputTest, HugeReleaseNotesAreStoredCutAtACharacterBoundary) {
  // 15 MiB of notes, with a two-byte character straddling the 64 KiB mark.
  std::string notes = std::string(65535, 'a') + "\xc3\xa9" + std::string(15u << 20, 'b');
  Publish("1.5.0", notes);
  Check();
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
  EXPECT_EQ(State()["staged"]["notes"], std::string(65535, 'a'));
  EXPECT_LT(std::filesystem::file_size(StateFile()), 70u * 1024);

  // --apply carries them into release_notes as they are.
  ASSERT_EQ(RunProgram(Home(), {"--apply"}).exit_code, 0);
  EXPECT_EQ(State()["release_notes"]["notes"], std::string(65535, 'a'));
}

TEST_F(HostileInputTest, ValuesCannotForgeOrFloodLogLines) {
  // A manifest version with a line break and a forged time stamp.
  Publish("9.0.0\n[2026-01-01 00:00:00] check: staged 0.0.0\x1b[2J");
  const ProgramRun run = Check("1.4.0\r\nx\\y");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(WorkflowMessages(Home()),
            (Messages{"check: current=1.4.0\\r\\nx\\y force=1",
                      "check: manifest url=" + ReleaseUrl(kManifestPath),
                      "check: update available 1.4.0\\r\\nx\\y -> 9.0.0\\n[2026-01-01 00:00:00] "
                      "check: staged 0.0.0\\x1b[2J",
                      "check: staged 9.0.0\\n[2026-01-01 00:00:00] check: staged 0.0.0\\x1b[2J"}));

  // A 100 KB version on the command line reaches the log cut short, each time.
  std::filesystem::remove(LogFile());
  const std::string long_version = "1." + std::string(100000, '7');
  for (int i = 0; i < 3; ++i) Check(long_version, false);
  EXPECT_LT(std::filesystem::file_size(LogFile()), 4u * 1024);
  EXPECT_EQ(LogMessages(Home()).front(),
            "check: current=" + long_version.substr(0, 512) + "...[100002 bytes] force=0");
}

TEST_F(HostileInputTest, AManifestVersionOver64BytesIsNoRelease) {
  const std::string at_limit = "9.0.0-" + std::string(58, 'x');
  ASSERT_EQ(at_limit.size(), 64u);
  Publish(at_limit + "y");
  Check();
  EXPECT_EQ(LogMessages(Home()).back(),
            std::string("check: no release for ") + SOLVANE_TEST_PLATFORM_KEY);
  EXPECT_FALSE(State().contains("staged"));
  EXPECT_EQ(server_->Hits(kInstallerPath), 0);

  Publish(at_limit);
  Check();
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged " + at_limit);
}

TEST_F(HostileInputTest, FifosInPlaceOfTheStateFileOrTheLogDoNotHang) {
  Publish("1.0.0");  // not newer
  std::filesystem::create_directories(Updates());

  // A FIFO state file reads as unreadable: an empty state, then replaced.
  ASSERT_EQ(::mkfifo(StateFile().c_str(), 0600), 0);
  EXPECT_EQ(Check().exit_code, 0);
  EXPECT_TRUE(std::filesystem::is_regular_file(StateFile()));
  EXPECT_TRUE(State().contains("last_check"));
  EXPECT_FALSE(std::filesystem::exists(StateFile() + ".corrupt"));
  EXPECT_EQ(LogMessages(Home()).back(), "check: up to date");

  // A FIFO log is skipped: the check still does its work.
  std::filesystem::remove(LogFile());
  std::filesystem::remove(StateFile());
  ASSERT_EQ(::mkfifo(LogFile().c_str(), 0600), 0);
  EXPECT_EQ(Check().exit_code, 0);
  EXPECT_TRUE(State().contains("last_check"));
  EXPECT_TRUE(std::filesystem::is_fifo(LogFile()));
}

TEST_F(HostileInputTest, DamagedStateFilesAreKeptAsideOnceAndLogged) {
  Publish("1.0.0");
  struct Row {
    const char* name;
    std::string text;
    const char* what;
  };
  const Row rows[] = {
      {"syntax error", R"({"release_notes": {"version": "1.4.0"}, "last_check": 5,})",
       "is not valid JSON"},
      {"invalid UTF-8", "{\"release_notes\": {\"notes\": \"\xff\"}}", "is not valid JSON"},
      {"over 1 MiB", "{\"last_check\": 5}" + std::string(1024 * 1024, ' '), "is larger than 1 MiB"},
      {"too deep", "{\"x\": " + std::string(300, '[') + std::string(300, ']') + "}",
       "nests too deep"},
      {"not an object", "[1, 2]", "is not a JSON object"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(LogFile());
    WriteFile(StateFile(), row.text);
    const std::int64_t before = UnixNow();
    EXPECT_EQ(Check("1.4.0", false).exit_code, 0);
    // Replacing the copy of an earlier damaged file.
    EXPECT_EQ(ReadFile(StateFile() + ".corrupt"), row.text);
    EXPECT_EQ(WorkflowMessages(Home()),
              (Messages{"check: current=1.4.0 force=0",
                        std::string("check: state file ") + row.what +
                            "; kept aside as Updates.json.corrupt, starting from an empty state",
                        "check: manifest url=" + ReleaseUrl(kManifestPath), "check: up to date"}));
    EXPECT_GE(State()["last_check"].get<std::int64_t>(), before);
  }
  // Kept aside once: the next run finds the sound file and leaves the copy.
  std::filesystem::remove(LogFile());
  EXPECT_EQ(Check().exit_code, 0);
  EXPECT_EQ(WorkflowMessages(Home()).size(), 3u);
  EXPECT_EQ(ReadFile(StateFile() + ".corrupt"), rows[4].text);
}

TEST_F(HostileInputTest, ACheckThatCannotRecordLastCheckDownloadsNothing) {
  Publish("1.5.0");
  // A folder where the state file belongs cannot be replaced, even by root.
  std::filesystem::create_directories(StateFile());
  for (const bool force : {false, true}) {
    SCOPED_TRACE(force);
    std::filesystem::remove(LogFile());
    EXPECT_EQ(Check("1.4.0", force).exit_code, 0);
    EXPECT_EQ(LogMessages(Home()).back(), "check: cannot write the state file; nothing downloaded");
  }
  EXPECT_EQ(server_->Hits(kManifestPath), 2);
  EXPECT_EQ(server_->Hits(kInstallerPath), 0);
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh"));
}

TEST_F(HostileInputTest, AFileSizeLimitFailsTheDownloadCleanly) {
  const std::string installer = Installer() + "#" + std::string(1 << 20, 'x') + "\n";
  server_->Serve(kManifestPath, ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(),
                                            Sha256Of(installer).c_str(), "n"));
  server_->Serve(kInstallerPath, installer);
  const ProgramRun run = RunProgram(Home(), {"--check", "1.4.0"}, {}, 256);
  EXPECT_EQ(run.exit_code, 0) << "killed by SIGXFSZ?";
  EXPECT_EQ(LogMessages(Home()).back(),
            "check: download/verify failed for 1.5.0: cannot write (disk full)");
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh"));
  EXPECT_FALSE(State().contains("staged"));
  EXPECT_TRUE(State().contains("last_check"));
}

// An endless body, and a Content-Length beyond the size: neither writes more
// than the release's size, and the log says why.
TEST_F(HostileInputTest, AnInstallerDownloadStopsAtItsPublishedSize) {
  const std::int64_t size = 1 << 20;
  PublishSized(size);
  std::atomic<std::int64_t> sent{0};
  server_->Handle(kInstallerPath, [&sent](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "application/octet-stream", [&sent](std::size_t, httplib::DataSink& sink) {
          const std::string chunk(64 * 1024, 'x');
          // 256 MiB ends it should the client never stop.
          if (sent > (std::int64_t{256} << 20) || !sink.write(chunk.data(), chunk.size())) {
            return false;
          }
          sent += static_cast<std::int64_t>(chunk.size());
          return true;
        });
  });
  const std::string line =
      "check: download/verify failed for 1.5.0: larger than its published size";
  EXPECT_EQ(Check().exit_code, 0);
  EXPECT_EQ(LogMessages(Home()).back(), line);
  // What the server pushed before the client let go: the size and the buffers between.
  std::printf("endless body, size %lld: %lld bytes sent before the stop\n",
              static_cast<long long>(size), static_cast<long long>(sent.load()));
  EXPECT_LT(sent.load(), size + (std::int64_t{16} << 20));
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh.partial"));
  EXPECT_FALSE(State().contains("partial"));

  // The whole file and more, announced in Content-Length: refused before the body.
  PublishSized(static_cast<std::int64_t>(Installer().size()) - 1);
  server_->Serve(kInstallerPath, Installer());
  EXPECT_EQ(Check().exit_code, 0);
  EXPECT_EQ(LogMessages(Home()).back(), line);
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh.partial"));
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh"));
}

// A release larger than the free space of the updates folder's disk fails
// before its first byte is asked for.
TEST_F(HostileInputTest, TooLittleFreeSpaceEndsTheDownloadBeforeItStarts) {
  const SmallDisk disk(Updates());
  if (!disk.mounted) {
    std::printf("not tested here: %s; EnoughSpaceFor is tested on its own\n", disk.refused.c_str());
    return;
  }
  PublishSized(std::int64_t{8} << 20);
  server_->Serve(kInstallerPath, Installer());
  EXPECT_EQ(Check().exit_code, 0);
  EXPECT_EQ(LogMessages(Home()).back(),
            "check: download/verify failed for 1.5.0: cannot write (disk full)");
  EXPECT_EQ(server_->Hits(kInstallerPath), 0);
  EXPECT_FALSE(State().contains("staged"));
}

TEST_F(HostileInputTest, WithoutAHomeTheProgramStopsInsteadOfWritingHere) {
  Publish("1.5.0");
  const std::string here = std::filesystem::current_path().string();
  for (const auto& env :
       {std::map<std::string, std::string>{{"HOME", ""}},
        std::map<std::string, std::string>{{"HOME", "relative/home"}},
        std::map<std::string, std::string>{{"HOME", ""}, {"XDG_DATA_HOME", "rel"}}}) {
    for (const auto& args :
         {std::vector<std::string>{"--check", "1.4.0"}, std::vector<std::string>{"--apply"}}) {
      const ProgramRun run = RunProgram(Home(), args, env);
      EXPECT_EQ(run.exit_code, 1);
      EXPECT_EQ(run.stderr_text,
                "SolvaneSetup: no per-user data folder: neither HOME nor XDG_DATA_HOME is set to "
                "an absolute path\n");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(here + "/Korrinwade"));
  EXPECT_FALSE(std::filesystem::exists(here + "/relative"));
  EXPECT_EQ(server_->Hits(kManifestPath), 0);

  // An absolute XDG_DATA_HOME alone is enough.
  const std::string data = Home() + "/data";
  EXPECT_EQ(
      RunProgram(Home(), {"--check", "1.4.0"}, {{"HOME", ""}, {"XDG_DATA_HOME", data}}).exit_code,
      0);
  EXPECT_TRUE(std::filesystem::exists(data + "/Korrinwade/Solvane/Updates/Updates.json"));
}

}  // namespace
}  // namespace solvane
