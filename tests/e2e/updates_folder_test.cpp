// The updates folder as a safe place, through the real program: names the
// program keeps for itself, staging only what is newer than what is staged,
// one process at a time, --apply launching only its own verified file, and
// housekeeping of what earlier runs left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

std::string InstallerPathFor(const std::string& version) {
  return "/solvane/releases/" + version + "/Solvane-" + version + ".sh";
}

class UpdatesFolderTest : public ::testing::Test {
 protected:
  std::string Updates() const { return UpdatesDirIn(home_.str()); }
  std::string StateFile() const { return Updates() + "/Updates.json"; }
  std::string LogFile() const { return Updates() + "/SolvaneSetup.log"; }
  std::string Launches() const { return home_.str() + "/launches"; }
  Json State() const { return Json::parse(ReadFile(StateFile())); }

  // An installer script that appends "<version>" to the launches file.
  std::string InstallerFor(const std::string& version) const {
    return "#!/bin/sh\necho " + version + " >> '" + Launches() + "'\n";
  }

  // Publishes `version` with its own installer script, verified.
  void Publish(const std::string& version) {
    const std::string installer = InstallerFor(version);
    server_->Serve(kManifestPath,
                   ManifestFor(version, ReleaseUrl(InstallerPathFor(version)).c_str(),
                               Sha256Of(installer).c_str(), "notes"));
    server_->Serve(InstallerPathFor(version), installer);
  }

  ProgramRun Run(const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}) {
    return RunProgram(home_.str(), args, env);
  }

  // Moves last_check a day and a bit into the past, as if a day had gone by.
  void AgeTheInterval() {
    Json state = State();
    state["last_check"] = UnixNow() - 86400 - 60;
    WriteFile(StateFile(), state.dump());
  }

  // The versions the launched installer scripts wrote, once `count` arrived.
  std::vector<std::string> LaunchedVersions(std::size_t count) {
    std::vector<std::string> lines;
    for (int i = 0; i < 400; ++i) {
      lines.clear();
      std::istringstream text(ReadFile(Launches()));
      for (std::string line; std::getline(text, line);) lines.push_back(line);
      if (lines.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return lines;
  }

  TempDir home_;
  std::unique_ptr<ReleaseServer> server_ = std::make_unique<ReleaseServer>(SOLVANE_TEST_PORT);
};

// A release whose URL names one of the program's own files is a failed
// download that touches nothing: not the state, not the log, not the staged
// installer, and the fresh install starts nothing.
TEST_F(UpdatesFolderTest, ReservedNamesAreFailedDownloadsThatTouchNothing) {
  Publish("1.5.0");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  const std::string staged_file = Updates() + "/Solvane-1.5.0.sh";
  const std::string staged_text = ReadFile(staged_file);

  // The body is valid JSON, so a state file replaced by it would still parse.
  const std::string body = "{\"owned\": true}\n";
  const char* const names[] = {"Updates.json",
                               "UPDATES.JSON",
                               "SolvaneSetup.log",
                               "solvanesetup.LOG",
                               "Updates.json.tmp-0a1b",
                               "Updates.lock",
                               "Solvane-1.6.0.sh.partial",
                               "Solvane-1.5.0.sh.PARTIAL",
                               "UPDATE~1.JSO"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string path = std::string("/solvane/releases/1.6.0/") + name;
    server_->Serve(path, body);
    for (const std::string& digest : {Sha256Of(body), std::string(64, 'a')}) {
      server_->Serve(kManifestPath,
                     ManifestFor("1.6.0", ReleaseUrl(path).c_str(), digest.c_str(), "n"));
      const Json staged_before = State()["staged"];
      const std::string log_before = ReadFile(LogFile());
      ASSERT_EQ(Run({"--check", "1.4.0", "--force"}).exit_code, 0);
      EXPECT_EQ(State()["staged"], staged_before);
      EXPECT_EQ(ReadFile(staged_file), staged_text);
      const std::string log_after = ReadFile(LogFile());
      EXPECT_EQ(log_after.substr(0, log_before.size()), log_before);
      EXPECT_EQ(LogMessages(home_.str()).back(),
                "check: download/verify failed for 1.6.0: unusable file name");

      // The fresh install: the state file stays byte for byte, nothing runs.
      const std::string state_before = ReadFile(StateFile());
      const ProgramRun install = Run({});
      EXPECT_EQ(install.exit_code, 1);
      EXPECT_NE(install.stderr_text.find("Download failed or verification error."),
                std::string::npos)
          << install.stderr_text;
      EXPECT_EQ(ReadFile(StateFile()), state_before);
      EXPECT_EQ(ReadFile(LogFile()).substr(0, log_after.size()), log_after);
    }
    EXPECT_EQ(server_->Hits(path), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(Launches()));
  EXPECT_EQ(Run({"--apply"}).exit_code, 0);
  EXPECT_EQ(LaunchedVersions(1), Messages{"1.5.0"});
}

// Once staged, a release is not downloaded again while its file verifies; a
// failing download of a newer one keeps it, and --apply launches it.
TEST_F(UpdatesFolderTest, StagedReleaseIsKeptAndNotDownloadedAgain) {
  Publish("1.5.0");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(server_->Hits(InstallerPathFor("1.5.0")), 1);

  AgeTheInterval();
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: already staged 1.5.0");
  EXPECT_EQ(server_->Hits(InstallerPathFor("1.5.0")), 1);

  // The server has a bad day: 1.6.0 is announced but its installer is a 404,
  // and the day after the installer of the staged 1.5.0 is gone as well.
  Publish("1.6.0");
  server_->Serve(InstallerPathFor("1.6.0"), "gone", 404);
  AgeTheInterval();
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: download/verify failed for 1.6.0: HTTP 404");
  Publish("1.5.0");
  server_->Serve(InstallerPathFor("1.5.0"), "gone", 404);
  AgeTheInterval();
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: already staged 1.5.0");

  EXPECT_EQ(State()["staged"]["version"], "1.5.0");
  EXPECT_EQ(ReadFile(Updates() + "/Solvane-1.5.0.sh"), InstallerFor("1.5.0"));
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.6.0.sh"));
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.6.0.sh.partial"));
  EXPECT_EQ(Run({"--apply"}).exit_code, 0);
  EXPECT_EQ(LaunchedVersions(1), Messages{"1.5.0"});
}

// A server that rolls back never replaces the newer staged release; a staged
// file that went missing or changed is dropped and downloaded again.
TEST_F(UpdatesFolderTest, RollbackKeepsTheNewerStageAndABrokenStageIsReplaced) {
  Publish("1.6.0");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  Publish("1.5.0");
  ASSERT_EQ(Run({"--check", "1.4.0", "--force"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: up to date");
  EXPECT_EQ(State()["staged"]["version"], "1.6.0");
  EXPECT_EQ(server_->Hits(InstallerPathFor("1.5.0")), 0);
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh"));

  Publish("1.6.0");
  const std::string staged = Updates() + "/Solvane-1.6.0.sh";
  for (const bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "file removed" : "file changed");
    if (remove) {
      std::filesystem::remove(staged);
    } else {
      WriteFile(staged, "#!/bin/sh\necho changed\n");
    }
    ASSERT_EQ(Run({"--check", "1.4.0", "--force"}).exit_code, 0);
    const Messages log = WorkflowMessages(home_.str());
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Messages(log.end() - 3, log.end()),
              (Messages{"check: staged 1.6.0 no longer verifies, dropped",
                        "check: update available 1.4.0 -> 1.6.0", "check: staged 1.6.0"}));
    EXPECT_EQ(ReadFile(staged), InstallerFor("1.6.0"));
  }
  EXPECT_EQ(server_->Hits(InstallerPathFor("1.6.0")), 3);
}

// --apply starts only a regular file directly in the updates folder; anything
// else the state file names is refused and left where it is.
TEST_F(UpdatesFolderTest, ApplyRefusesFilesOutsideTheUpdatesFolderAndLinks) {
  std::filesystem::create_directories(Updates());
  const std::string outside = home_.str() + "/document.sh";
  WriteFile(outside, InstallerFor("outside"));
  WriteFile(Updates() + "/../document.sh", InstallerFor("next to the folder"));
  const std::string inside = Updates() + "/Solvane-1.5.0.sh";
  WriteFile(inside, InstallerFor("inside"));
  std::filesystem::create_symlink(outside, Updates() + "/to-outside.sh");
  std::filesystem::create_symlink(inside, Updates() + "/to-inside.sh");
  std::filesystem::create_directories(home_.path() / "elsewhere");
  std::filesystem::create_directory_symlink(home_.path() / "elsewhere", Updates() + "/sub");
  WriteFile(home_.path() / "elsewhere/Solvane.sh", InstallerFor("through a folder link"));
  WriteFile(Updates() + "/Updates.json.tmp-1234", InstallerFor("reserved"));

  const std::string cases[] = {
      outside,
      Updates() + "/../document.sh",
      Updates() + "/to-outside.sh",
      Updates() + "/to-inside.sh",
      Updates() + "/sub/Solvane.sh",
      Updates() + "/Updates.json.tmp-1234",
      Updates(),
  };
  for (const std::string& installer : cases) {
    SCOPED_TRACE(installer);
    const Json record = {{"version", "1.5.0"}, {"installer", installer}, {"sha256", ""}};
    WriteFile(StateFile(), Json{{"staged", record}}.dump());
    const std::string before = ReadFile(StateFile());
    EXPECT_EQ(Run({"--apply"}).exit_code, 1);
    EXPECT_EQ(ReadFile(StateFile()), before);
    EXPECT_TRUE(std::filesystem::exists(installer));
  }
  EXPECT_TRUE(std::filesystem::exists(outside));
  EXPECT_TRUE(std::filesystem::exists(inside));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(std::filesystem::exists(Launches()));
}

// A document (not a program) goes to the desktop's opener, which must still
// find the file after --apply has returned.
TEST_F(UpdatesFolderTest, TheOpenerOfADocumentStillFindsIt) {
  TempDir bin;
  const std::string opened = home_.str() + "/opened";
  WriteFile(bin.path() / "xdg-open", "#!/bin/sh\nsleep 0.3\ncat \"$1\" > '" + opened + "'\n");
  ::chmod((bin.str() + "/xdg-open").c_str(), 0755);
  const std::string document = Updates() + "/Solvane-1.5.0.msi";
  WriteFile(document, "not a program");
  WriteFile(
      StateFile(),
      Json{{"staged",
            {{"version", "1.5.0"}, {"installer", document}, {"sha256", Sha256Of("not a program")}}}}
          .dump());
  EXPECT_EQ(Run({"--apply"}, {{"PATH", bin.str() + ":/usr/bin:/bin"}}).exit_code, 0);
  ASSERT_TRUE(WaitForFile(opened));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ReadFile(opened), "not a program");
}

// An ELF installer inherits only its standard streams.
TEST_F(UpdatesFolderTest, AnElfInstallerInheritsNoOtherDescriptor) {
  const std::string program = ReadFile(SOLVANE_FD_REPORT_PROGRAM);
  ASSERT_FALSE(program.empty());
  const std::string path = "/solvane/releases/1.5.0/Solvane-1.5.0";
  server_->Serve(kManifestPath,
                 ManifestFor("1.5.0", ReleaseUrl(path).c_str(), Sha256Of(program).c_str(), "n"));
  server_->Serve(path, program);
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  ASSERT_EQ(LogMessages(home_.str()).back(), "check: staged 1.5.0");
  EXPECT_EQ(Run({"--apply"}).exit_code, 0);
  const std::string report = home_.str() + "/installer-fds";
  ASSERT_TRUE(WaitForFile(report));
  EXPECT_EQ(ReadFile(report), "0\n1\n2\n");
}

// While another process holds the folder's lock, each workflow gives up after
// a few seconds in its own way, says so in the log and changes nothing. The
// lock is the folder's own: deleting a file (Updates.lock) cannot undo it.
TEST_F(UpdatesFolderTest, ABusyFolderIsReportedAndLeftAlone) {
  Publish("1.5.0");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  Publish("1.6.0");
  const std::string state_before = ReadFile(StateFile());

  const int lock_fd = ::open(Updates().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(lock_fd, 0);
  ASSERT_EQ(::flock(lock_fd, LOCK_EX), 0);
  std::filesystem::remove(Updates() + "/Updates.lock");
  ProgramRun check, apply, install;
  {
    std::jthread a([&] { check = Run({"--check", "1.4.0", "--force"}); });
    std::jthread b([&] { apply = Run({"--apply"}); });
    std::jthread c([&] { install = Run({}); });
  }
  ::close(lock_fd);

  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(apply.exit_code, 1);
  EXPECT_EQ(install.exit_code, 1);
  EXPECT_NE(install.stderr_text.find("Download failed or verification error."), std::string::npos)
      << install.stderr_text;
  std::set<std::string> busy;
  for (const std::string& line : LogMessages(home_.str())) {
    if (line.ends_with(": another SolvaneSetup is busy")) busy.insert(line);
  }
  EXPECT_EQ(busy, (std::set<std::string>{"check: another SolvaneSetup is busy",
                                         "apply: another SolvaneSetup is busy",
                                         "install: another SolvaneSetup is busy"}));
  EXPECT_EQ(ReadFile(StateFile()), state_before);
  EXPECT_EQ(server_->Hits(InstallerPathFor("1.6.0")), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(std::filesystem::exists(Launches()));
}

// Only a lock held by another process is "busy": whatever sits at the old
// lock file's name is no lock, and a folder that cannot be locked is logged
// with the system's reason on every run.
TEST_F(UpdatesFolderTest, ALockThatCannotBeTakenIsNeverBusy) {
  Publish("1.5.0");
  std::filesystem::create_directories(Updates() + "/Updates.lock");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: staged 1.5.0");
  // Root opens any folder: the runs below are made as an unprivileged user.
  GiveToUnprivilegedUser(home_.str());
  ::chmod(Updates().c_str(), 0300);  // no reading: the folder cannot be opened
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(RunProgramUnprivileged(home_.str(), {"--apply"}).exit_code, 1);
    EXPECT_EQ(LogMessages(home_.str()).back(),
              "apply: cannot lock the updates folder: Permission denied");
  }
  ::chmod(Updates().c_str(), 0700);
}

// An --apply of the staged release and a second check never wait for a check
// that is downloading a newer release over a trickling link: the apply
// starts the staged installer, the second check leaves the download alone,
// and the first one stages its release in the end.
TEST_F(UpdatesFolderTest, NothingWaitsForADownload) {
  Publish("1.5.0");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  const std::string installer = InstallerFor("1.6.0") + "#" + std::string(48 * 1024, 'x') + "\n";
  server_->Serve(kManifestPath, ManifestFor("1.6.0", ReleaseUrl(InstallerPathFor("1.6.0")).c_str(),
                                            Sha256Of(installer).c_str(), "notes"));
  FaultyFile slow;
  slow.body = installer;
  slow.bytes_per_second = 6 * 1024;
  server_->ServeFaulty(InstallerPathFor("1.6.0"), slow);

  std::jthread first([&] { Run({"--check", "1.4.0", "--force"}); });
  for (int i = 0; i < 400 && server_->BytesSent(InstallerPathFor("1.6.0")) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_GT(server_->BytesSent(InstallerPathFor("1.6.0")), 0);
  EXPECT_EQ(Run({"--apply"}).exit_code, 0);
  EXPECT_EQ(LaunchedVersions(1), Messages{"1.5.0"});
  EXPECT_EQ(Run({"--check", "1.4.0", "--force"}).exit_code, 0);
  EXPECT_EQ(WorkflowMessages(home_.str()).back(), "check: a download of 1.6.0 is in progress");
  first.join();
  EXPECT_EQ(WorkflowMessages(home_.str()).back(), "check: staged 1.6.0");
  EXPECT_EQ(server_->Hits(InstallerPathFor("1.6.0")), 1);
  EXPECT_FALSE(State().contains("partial"));
  EXPECT_EQ(Run({"--apply"}).exit_code, 0);
  EXPECT_EQ(LaunchedVersions(2), (Messages{"1.5.0", "1.6.0"}));
}

// A link at the partial file's name, symbolic or hard, is removed and never
// written through.
TEST_F(UpdatesFolderTest, ALinkAtThePartialNameIsNeverWrittenThrough) {
  Publish("1.5.0");
  const std::string document = home_.str() + "/document.txt";
  const std::string partial = Updates() + "/Solvane-1.5.0.sh.partial";
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    std::filesystem::remove_all(Updates());
    std::filesystem::create_directories(Updates());
    WriteFile(document, "#!/bin/sh\n# the user's own words\n");
    hard ? std::filesystem::create_hard_link(document, partial)
         : std::filesystem::create_symlink(document, partial);
    ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
    EXPECT_EQ(LogMessages(home_.str()).back(), "check: staged 1.5.0");
    EXPECT_EQ(ReadFile(document), "#!/bin/sh\n# the user's own words\n");
    EXPECT_EQ(ReadFile(Updates() + "/Solvane-1.5.0.sh"), InstallerFor("1.5.0"));
    EXPECT_FALSE(std::filesystem::exists(partial));
  }
}

// The launched records of the state file name files in any spelling; one
// that is an alias of the staged installer never removes it.
TEST_F(UpdatesFolderTest, AnAliasOfTheStagedFileIsNeverHousekept) {
  Publish("1.5.0");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  Json state = State();
  const std::int64_t long_ago = UnixNow() - 3 * 86400;
  state["launched"] = {{{"installer", Updates() + "/./Solvane-1.5.0.sh"}, {"time", long_ago}},
                       {{"installer", Updates() + "/x/../Solvane-1.5.0.sh"}, {"time", long_ago}}};
  WriteFile(StateFile(), state.dump());
  ASSERT_EQ(Run({"--check", "1.4.0", "--force"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: already staged 1.5.0");
  EXPECT_EQ(ReadFile(Updates() + "/Solvane-1.5.0.sh"), InstallerFor("1.5.0"));
  EXPECT_EQ(Run({"--apply"}).exit_code, 0);
  EXPECT_EQ(LaunchedVersions(1), Messages{"1.5.0"});
}

// The download is made under the name plus ".partial": a name for which that
// passes 255 bytes is refused at once and fetches nothing; one that just fits
// is staged.
TEST_F(UpdatesFolderTest, InstallerNamesMustLeaveRoomForThePartialSuffix) {
  for (const std::size_t length : {248u, 247u}) {
    const std::string path = "/solvane/releases/1.6.0/" + std::string(length - 3, 'S') + ".sh";
    server_->Serve(kManifestPath, ManifestFor("1.6.0", ReleaseUrl(path).c_str(), nullptr, "n"));
    server_->Serve(path, InstallerFor("1.6.0"));
    ASSERT_EQ(Run({"--check", "1.4.0", "--force"}).exit_code, 0);
    const Messages log = WorkflowMessages(home_.str());
    EXPECT_EQ(log.back(), length == 247u
                              ? "check: staged 1.6.0"
                              : "check: download/verify failed for 1.6.0: unusable file name");
    EXPECT_EQ(server_->Hits(path), length == 247u ? 1 : 0);
  }
}

// A state file that cannot be saved (a file size limit the record does not
// fit) starts nothing, however often --apply runs, and says why.
TEST_F(UpdatesFolderTest, ApplyStartsNothingWhenItCannotConsumeTheRecord) {
  Publish("1.5.0");
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  Json state = State();
  state["filler"] = std::string(64 * 1024, 'f');
  WriteFile(StateFile(), state.dump());
  const std::string before = ReadFile(StateFile());
  for (int run = 0; run < 3; ++run) {
    EXPECT_EQ(RunProgram(home_.str(), {"--apply"}, {}, 32).exit_code, 1);
    EXPECT_EQ(LogMessages(home_.str()).back(),
              "apply: cannot write the state file; 1.5.0 not started");
  }
  EXPECT_EQ(ReadFile(StateFile()), before);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(std::filesystem::exists(Launches()));
  EXPECT_EQ(Run({"--apply"}).exit_code, 0);
  EXPECT_EQ(LaunchedVersions(1), Messages{"1.5.0"});
}

// Housekeeping removes what the program itself left: the installer it
// launched more than a day ago, a stray temporary state file more than a
// minute old, partial downloads nobody wants. Nothing else.
TEST_F(UpdatesFolderTest, HousekeepingRemovesOnlyWhatTheProgramLeft) {
  std::filesystem::create_directories(Updates());
  const auto back_date = [](const std::string& path, std::int64_t seconds) {
    const std::int64_t when = UnixNow() - seconds;
    const utimbuf times{static_cast<time_t>(when), static_cast<time_t>(when)};
    ASSERT_EQ(::utime(path.c_str(), &times), 0) << path;
  };
  const std::string old_launched = Updates() + "/Solvane-1.3.0.sh";
  const std::string young_launched = Updates() + "/Solvane-1.4.0.sh";
  const std::string outside = home_.str() + "/launched-elsewhere.sh";
  const std::string stale_temporary = Updates() + "/Updates.json.tmp-0123456789ab";
  const std::string young_temporary = Updates() + "/Updates.json.tmp-ba9876543210";
  const std::string stale_partial = Updates() + "/Solvane-1.4.5.sh.partial";
  const std::string users_file = Updates() + "/notes.txt";
  for (const std::string& path : {old_launched, young_launched, outside, stale_temporary,
                                  young_temporary, stale_partial, users_file}) {
    WriteFile(path, "x");
  }
  back_date(stale_temporary, 120);
  back_date(users_file, 86400 * 10);
  const std::int64_t now = UnixNow();
  WriteFile(StateFile(), Json{{"launched",
                               {{{"installer", old_launched}, {"time", now - 86400 - 5}},
                                {{"installer", young_launched}, {"time", now - 3600}},
                                {{"installer", outside}, {"time", now - 86400 * 3}}}}}
                             .dump());

  Publish("1.4.0");  // nothing newer: no partial download is wanted
  ASSERT_EQ(Run({"--check", "1.4.0"}).exit_code, 0);
  EXPECT_EQ(LogMessages(home_.str()).back(), "check: up to date");

  EXPECT_FALSE(std::filesystem::exists(old_launched));
  EXPECT_TRUE(std::filesystem::exists(young_launched));
  EXPECT_TRUE(std::filesystem::exists(outside));  // not in our folder: never ours to remove
  EXPECT_FALSE(std::filesystem::exists(stale_temporary));
  EXPECT_TRUE(std::filesystem::exists(young_temporary));
  EXPECT_FALSE(std::filesystem::exists(stale_partial));
  EXPECT_TRUE(std::filesystem::exists(users_file));
  const Json launched = State()["launched"];
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0]["installer"], young_launched);
}

// Many real processes at once against one folder: every --apply launches at
// most one installer, no staged release that a check logged is lost, and the
// state file parses whenever it is read.
TEST_F(UpdatesFolderTest, ManyProcessesAtOnceKeepTheFolderConsistent) {
  constexpr int kRounds = 5;
  constexpr int kAppliesPerRound = 4;
  constexpr int kChecksPerRound = 4;

  std::atomic<bool> running{true};
  std::atomic<int> reads{0}, unparsable{0};
  std::jthread reader([&] {
    while (running) {
      const std::string text = ReadFile(StateFile());
      if (!text.empty()) {
        ++reads;
        if (!Json::accept(text)) ++unparsable;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  int applied = 0;
  for (int round = 0; round < kRounds; ++round) {
    Publish("2." + std::to_string(round) + ".0");
    std::vector<ProgramRun> runs(kAppliesPerRound + kChecksPerRound);
    {
      std::vector<std::jthread> threads;
      for (int i = 0; i < kAppliesPerRound + kChecksPerRound; ++i) {
        threads.emplace_back([&, i] {
          runs[i] = i < kAppliesPerRound ? Run({"--apply"}) : Run({"--check", "1.0.0", "--force"});
        });
      }
    }
    for (int i = 0; i < kAppliesPerRound + kChecksPerRound; ++i) {
      // An --apply finds something staged or not (1); a check always exits 0.
      if (i < kAppliesPerRound) {
        EXPECT_TRUE(runs[i].exit_code == 0 || runs[i].exit_code == 1) << runs[i].exit_code;
      } else {
        EXPECT_EQ(runs[i].exit_code, 0);
      }
      EXPECT_EQ(runs[i].stderr_text, "");
      if (i < kAppliesPerRound && runs[i].exit_code == 0) ++applied;
    }
  }
  // What is still staged is launched last.
  if (Run({"--apply"}).exit_code == 0) ++applied;
  running = false;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(unparsable.load(), 0);

  // Each successful --apply launched exactly one installer, and each staging
  // was launched at most once. A release can be staged again after its launch,
  // since the installed version given to the checks stays the same.
  const std::vector<std::string> launched = LaunchedVersions(static_cast<std::size_t>(applied));
  EXPECT_EQ(launched.size(), static_cast<std::size_t>(applied));
  std::map<std::string, int> launches, stagings;
  for (const std::string& version : launched) ++launches[version];
  for (const std::string& line : LogMessages(home_.str())) {
    if (line.rfind("check: staged ", 0) == 0) ++stagings[line.substr(14)];
  }
  ASSERT_FALSE(stagings.empty());
  for (const auto& [version, count] : launches) {
    EXPECT_LE(count, stagings[version]) << version;
  }
  // No staged record was lost: only a newer staging replaces one, so every
  // staging of the newest release was launched, the last by the final --apply.
  const auto& [newest, newest_stagings] = *stagings.rbegin();
  EXPECT_EQ(launches[newest], newest_stagings) << newest;
  EXPECT_FALSE(State().contains("staged"));
  // No superseded installer or partial download is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(Updates())) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
    if (name.ends_with(".sh")) {
      EXPECT_TRUE(launches.count(name.substr(8, name.size() - 11))) << name;
    }
  }
}

}  // namespace
}  // namespace solvane
