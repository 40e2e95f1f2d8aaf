// Installer downloads that survive cuts, kills and changed files, through the
// real program against a loopback server that counts what it sends.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "state/records.h"
#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

class ResumeTest : public ProgramTest {
 protected:
  std::string Installed() const { return Updates() + "/Solvane-1.5.0.sh"; }
  std::string Partial() const { return Installed() + ".partial"; }
  std::string Marker() const { return Home() + "/installer-ran"; }

  // The installer script, made large by a comment so that it can be cut.
  std::string Installer(char fill = 'x') const {
    return InstallerScript(Marker()) + "# " + std::string(1024 * 1024, fill) + "\n";
  }

  // Publishes 1.5.0 with `file` served under its faults, and the digest of `digest_of`.
  void Publish(const FaultyFile& file, const std::string& digest_of) {
    server_->Serve(kManifestPath, ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(),
                                              Sha256Of(digest_of).c_str(), "n"));
    server_->ServeFaulty(kInstallerPath, file);
  }

  FaultyFile Served(const std::string& body, std::vector<double> cuts = {}) const {
    FaultyFile file;
    file.body = body;
    file.cuts = std::move(cuts);
    return file;
  }

  ProgramRun Check() { return RunProgram(Home(), {"--check", "1.4.0", "--force"}); }

  std::int64_t PartialSize() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(Partial(), error);
    return error ? -1 : static_cast<std::int64_t>(size);
  }
};

TEST_F(ResumeTest, CutDownloadResumesInTheNextCheckAndStages) {
  const std::string body = Installer();
  const std::int64_t forty = static_cast<std::int64_t>(body.size() * 2 / 5);
  Publish(Served(body, {0.4}), body);
  Check();
  EXPECT_EQ(LogMessages(Home()).back(),
            "check: download/verify failed for 1.5.0: connection lost "
            "after " +
                std::to_string(forty) + " bytes (kept for resume)");
  EXPECT_EQ(PartialSize(), forty);
  EXPECT_FALSE(std::filesystem::exists(Installed()));
  const std::optional<PartialRecord> kept = ReadPartial(State());
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->url, ReleaseUrl(kInstallerPath));
  EXPECT_EQ(kept->sha256, Sha256Of(body));
  EXPECT_EQ(kept->file, Partial());
  EXPECT_EQ(kept->bytes, forty);
  EXPECT_EQ(kept->validator, "\"v1\"");
  EXPECT_FALSE(State().contains("staged"));

  // Only the remainder crosses the wire, and the joined file is staged.
  Check();
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
  EXPECT_EQ(server_->LastRange(kInstallerPath), "bytes=" + std::to_string(forty) + "-");
  EXPECT_EQ(server_->LastIfRange(kInstallerPath), "\"v1\"");
  EXPECT_EQ(server_->BytesSent(kInstallerPath), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(ReadFile(Installed()), body);
  EXPECT_FALSE(std::filesystem::exists(Partial()));
  EXPECT_FALSE(State().contains("partial"));
  EXPECT_EQ(State()["staged"]["installer"], Installed());
}

TEST_F(ResumeTest, KilledCheckResumesInTheNextRun) {
  const std::string body = Installer();
  FaultyFile slow = Served(body);
  slow.bytes_per_second = 256 * 1024;  // about 4 seconds for the whole file
  Publish(slow, body);
  const ProgramRun killed = RunProgramKilledWhen(Home(), {"--check", "1.4.0", "--force"}, [&] {
    return PartialSize() >= 200 * 1024 && ReadPartial(State()).has_value();
  });
  EXPECT_EQ(killed.exit_code, 128 + 9);
  const std::int64_t held = PartialSize();
  ASSERT_GE(held, 200 * 1024);

  const std::int64_t sent_before = server_->BytesSent(kInstallerPath);
  Publish(Served(body), body);
  Check();
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
  // The file's own size counts, whatever the record had time to say.
  EXPECT_EQ(server_->LastRange(kInstallerPath), "bytes=" + std::to_string(held) + "-");
  EXPECT_EQ(server_->BytesSent(kInstallerPath) - sent_before,
            static_cast<std::int64_t>(body.size()) - held);
  EXPECT_EQ(ReadFile(Installed()), body);
}

TEST_F(ResumeTest, AnotherVersionOnTheServerRestartsAndIsNeverJoined) {
  struct Case {
    const char* name;
    std::function<void(FaultyFile&)> fault;
  };
  const Case cases[] = {
      {"server ignores Range", [](FaultyFile& f) { f.ignore_range = true; }},
      {"new ETag", [](FaultyFile& f) { f.etag = "\"v2\""; }},
      {"416", [](FaultyFile& f) { f.answer_416 = true; }},
      // The same ETag over other bytes: the range is joined, the digest
      // refuses it, and the one restart fetches the file whole.
      {"changed behind the same ETag", [](FaultyFile&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    home_ = std::make_unique<TempDir>();
    // The first run gets 40 % of a file that is not the published one.
    const std::string published = Installer('n');
    Publish(Served(Installer('o'), {0.4}), published);
    Check();
    ASSERT_TRUE(ReadPartial(State()));

    FaultyFile now = Served(published);
    c.fault(now);
    Publish(now, published);
    Check();
    EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.5.0");
    EXPECT_EQ(ReadFile(Installed()), published);
    EXPECT_FALSE(State().contains("partial"));
  }
}

TEST_F(ResumeTest, PartialOfAReleaseNoLongerWantedIsDeleted) {
  const std::string body = Installer();
  Publish(Served(body, {0.4}), body);
  Check();
  ASSERT_GT(PartialSize(), 0);

  // Now the installed version is the newest: nothing is wanted.
  RunProgram(Home(), {"--check", "1.5.0", "--force"});
  EXPECT_EQ(LogMessages(Home()).back(), "check: up to date");
  EXPECT_FALSE(std::filesystem::exists(Partial()));
  EXPECT_FALSE(State().contains("partial"));

  // A newer release elsewhere replaces the held bytes of the older one.
  Publish(Served(body, {0.4}), body);
  Check();
  ASSERT_GT(PartialSize(), 0);
  const std::string other_path = "/solvane/releases/1.6.0/Solvane-1.6.0.sh";
  server_->Serve(kManifestPath,
                 ManifestFor("1.6.0", ReleaseUrl(other_path).c_str(), Sha256Of(body).c_str(), "n"));
  server_->ServeFaulty(other_path, Served(body));
  Check();
  EXPECT_EQ(LogMessages(Home()).back(), "check: staged 1.6.0");
  EXPECT_FALSE(std::filesystem::exists(Partial()));
  EXPECT_EQ(server_->LastRange(other_path), "");
  EXPECT_FALSE(State().contains("partial"));
}

TEST_F(ResumeTest, FreshInstallRidesOutTwoDroppedConnections) {
  const std::string body = Installer();
  Publish(Served(body, {0.3, 0.6}), body);
  const ProgramRun run = RunProgram(Home(), {});
  EXPECT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_TRUE(WaitForFile(Marker()));
  EXPECT_EQ(server_->Hits(kInstallerPath), 3);
  EXPECT_EQ(server_->BytesSent(kInstallerPath), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(ReadFile(Installed()), body);
  EXPECT_FALSE(State().contains("partial"));
}

}  // namespace
}  // namespace solvane
