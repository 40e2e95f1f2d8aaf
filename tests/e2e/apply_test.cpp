// --apply through the real program, in a home folder of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

using testing::LogMessages;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::UpdatesDirIn;
using testing::WriteFile;

// Waits for a file that a detached process writes.
bool WaitForFile(const std::filesystem::path& path) {
  for (int i = 0; i < 200; ++i) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

class ApplyTest : public ::testing::Test {
 protected:
  std::string Updates() const { return UpdatesDirIn(home_.str()); }
  std::string StateFile() const { return Updates() + "/Updates.json"; }
  std::string Marker() const { return home_.str() + "/installer-ran"; }

  // A staged installer script that records its arguments and its own content.
  std::string StageScript(const std::string& version, const std::string& extra_state = "") {
    const std::string installer = Updates() + "/Solvane-1.5.0.sh";
    WriteFile(installer, "#!/bin/sh\nsleep 0.2\necho \"ran $#\" > '" + Marker() + "'\n");
    WriteFile(StateFile(), "{" + extra_state + "\"staged\": {\"version\": \"" + version +
                               "\", \"installer\": \"" + installer +
                               "\", \"notes\": \"Faster sync\", \"sha256\": \"\", "
                               "\"date\": \"2026-07-16\"}}\n");
    return installer;
  }

  TempDir home_;
};

TEST_F(ApplyTest, WithoutStateExitsOneAndCreatesNoStateFile) {
  const auto run = RunProgram(home_.str(), {"--apply"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(std::filesystem::is_directory(Updates()));
  EXPECT_FALSE(std::filesystem::exists(StateFile()));
  EXPECT_EQ(run.stderr_text, "");
}

TEST_F(ApplyTest, DamagedStateFileIsKeptAsideAndLogged) {
  WriteFile(StateFile(), "{ not json");
  EXPECT_EQ(RunProgram(home_.str(), {"--apply"}).exit_code, 1);
  EXPECT_FALSE(std::filesystem::exists(StateFile()));
  EXPECT_EQ(ReadFile(StateFile() + ".corrupt"), "{ not json");
  EXPECT_EQ(LogMessages(home_.str()).back(),
            "apply: state file is not valid JSON; kept aside as Updates.json.corrupt, starting "
            "from an empty state");
}

TEST_F(ApplyTest, MissingInstallerKeepsTheStateByteForByte) {
  const std::string installer = StageScript("1.5.0");
  std::filesystem::remove(installer);
  const std::string before = ReadFile(StateFile());
  EXPECT_EQ(RunProgram(home_.str(), {"--apply"}).exit_code, 1);
  EXPECT_EQ(ReadFile(StateFile()), before);
}

TEST_F(ApplyTest, LaunchesConsumesTheRecordAndWritesReleaseNotes) {
  const std::string installer =
      StageScript("1.5.0", "\"last_check\": 12, \"custom\": {\"kept\": true}, ");
  ::chmod(installer.c_str(), 0644);  // the launch must make it executable itself

  const auto run = RunProgram(home_.str(), {"--apply", "ignored", "--force"});
  EXPECT_EQ(run.exit_code, 0);
  // The installer file stays for the installer's sake; the launch is noted
  // so that a later run removes it.
  ASSERT_TRUE(WaitForFile(Marker()));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ReadFile(Marker()), "ran 0\n");
  EXPECT_TRUE(std::filesystem::exists(installer));

  Json state = Json::parse(ReadFile(StateFile()));
  ASSERT_EQ(state["launched"].size(), 1u);
  EXPECT_EQ(state["launched"][0]["installer"], installer);
  state.erase("launched");
  EXPECT_EQ(SerializeState(state),
            "{\n"
            "   \"custom\": {\n"
            "      \"kept\": true\n"
            "   },\n"
            "   \"last_check\": 12,\n"
            "   \"release_notes\": {\n"
            "      \"notes\": \"Faster sync\",\n"
            "      \"version\": \"1.5.0\"\n"
            "   }\n"
            "}\n");

  // Nothing is staged any more.
  const std::string after = ReadFile(StateFile());
  EXPECT_EQ(RunProgram(home_.str(), {"--apply"}).exit_code, 1);
  EXPECT_EQ(ReadFile(StateFile()), after);
}

TEST_F(ApplyTest, EmptyVersionLaunchesButKeepsTheEarlierReleaseNotes) {
  StageScript("", "\"release_notes\": {\"version\": \"1.0.0\", \"notes\": \"old\"}, ");
  EXPECT_EQ(RunProgram(home_.str(), {"--apply"}).exit_code, 0);
  ASSERT_TRUE(WaitForFile(Marker()));
  const Json state = Json::parse(ReadFile(StateFile()));
  EXPECT_FALSE(state.contains("staged"));
  EXPECT_EQ(state["release_notes"], Json::parse(R"({"version": "1.0.0", "notes": "old"})"));
}

TEST_F(ApplyTest, MalformedStagedRecordCountsAsNothingStaged) {
  WriteFile(StateFile(), R"({"staged": {"installer": 7}})");
  const std::string before = ReadFile(StateFile());
  EXPECT_EQ(RunProgram(home_.str(), {"--apply"}).exit_code, 1);
  EXPECT_EQ(ReadFile(StateFile()), before);
}

TEST_F(ApplyTest, ANonProgramFileThatCannotBeOpenedIsAFailedLaunch) {
  const std::string installer = Updates() + "/notes.txt";
  WriteFile(installer, "plain text");
  WriteFile(StateFile(),
            "{\"staged\": {\"version\": \"1\", \"installer\": \"" + installer + "\"}}");
  const std::string before = ReadFile(StateFile());
  // No desktop opener on the path: the shell cannot start it.
  const auto run = RunProgram(home_.str(), {"--apply"}, {{"PATH", "/nonexistent"}});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(ReadFile(StateFile()), before);
  EXPECT_TRUE(std::filesystem::exists(installer));
}

TEST(ActivityLog, LinesCarryALocalTimeStamp) {
  TempDir home;
  // A zone far from UTC shows that the stamp is local time.
  RunProgram(home.str(), {"--apply"}, {{"TZ", "XYZ-13"}});
  RunProgram(home.str(), {"--apply"}, {{"TZ", "XYZ-13"}});
  const std::string log = ReadFile(UpdatesDirIn(home.str()) + "/SolvaneSetup.log");
  const std::regex line(
      R"(\[(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\] apply: launching staged installer\n)");
  EXPECT_TRUE(std::regex_match(
      log,
      std::regex("(" + std::string(R"(\[[^\]]+\] apply: launching staged installer\n)") + "){2}")))
      << log;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match, line));
  const std::time_t now = std::time(nullptr) + 13 * 3600;
  std::tm shifted{};
  gmtime_r(&now, &shifted);
  char expected_day[16];
  std::strftime(expected_day, sizeof expected_day, "%Y-%m-%d", &shifted);
  EXPECT_EQ(match[1].str().substr(0, 10), expected_day);
}

TEST(ActivityLog, AReadOnlyLogChangesNothingElse) {
  TempDir home;
  const std::string log = UpdatesDirIn(home.str()) + "/SolvaneSetup.log";
  WriteFile(log, "");
  // Root could write it all the same: the program runs as a user it binds.
  testing::GiveToUnprivilegedUser(home.path());
  ::chmod(log.c_str(), 0444);
  const auto run = testing::RunProgramUnprivileged(home.str(), {"--apply"});
  EXPECT_EQ(run.exit_code, 1);
  // It did run: setpriv, failing, would exit 1 too, but says why on standard error.
  EXPECT_EQ(run.stderr_text, "");
  EXPECT_EQ(ReadFile(log), "");
  EXPECT_FALSE(std::filesystem::exists(UpdatesDirIn(home.str()) + "/Updates.json"));
}

TEST(StartUp, DataFolderThatCannotBeCreatedIsReportedWithExitOne) {
  TempDir home;
  WriteFile(home.path() / ".local", "a file where a folder belongs");
  const auto run = RunProgram(home.str(), {"--apply"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.stderr_text.find("SolvaneSetup: cannot create directory " + home.str() + "/.local"),
            std::string::npos)
      << run.stderr_text;
}

TEST(StartUp, XdgDataHomeWinsWhenAbsolute) {
  TempDir home;
  TempDir data;
  RunProgram(home.str(), {"--apply"}, {{"XDG_DATA_HOME", data.str()}});
  EXPECT_TRUE(std::filesystem::exists(data.path() / "Korrinwade/Solvane/Updates/SolvaneSetup.log"));
  EXPECT_FALSE(std::filesystem::exists(home.path() / ".local"));

  RunProgram(home.str(), {"--apply"}, {{"XDG_DATA_HOME", "relative/data"}});
  EXPECT_TRUE(std::filesystem::exists(UpdatesDirIn(home.str()) + "/SolvaneSetup.log"));
}

}  // namespace
}  // namespace solvane
