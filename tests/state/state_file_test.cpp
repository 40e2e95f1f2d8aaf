#include "state/state_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>

#include "state/paths.h"
#include "state/records.h"
#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class StateFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDataDirectory(home_.str() + "/Korrinwade/Solvane"); }
  std::filesystem::path Updates() const { return home_.path() / "Korrinwade/Solvane/Updates"; }
  std::filesystem::path StateFile() const { return Updates() / "Updates.json"; }

  TempDir home_;
};

// `text` as a file written in text mode holds it: CR LF line ends on Windows.
std::string TextFile(std::string text) {
#ifdef _WIN32
  for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
    text.insert(at, 1, '\r');
  }
#endif
  return text;
}

TEST_F(StateFileTest, MissingFileLoadsEmptyAndCreatesOnlyTheFolder) {
  EXPECT_EQ(LoadState(), Json::object());
  EXPECT_TRUE(std::filesystem::is_directory(Updates()));
  EXPECT_FALSE(std::filesystem::exists(StateFile()));
}

TEST_F(StateFileTest, UnreadableOrForeignContentLoadsAsEmptyObject) {
  const char* const texts[] = {
      "",
      "{}",
      "{}\n",
      "{}\r\n",
      "{\r\n}\r\n",
      "// comment\n{\"last_check\": 5}\n",
      "{\"last_check\": 5} x",
      "{\"last_check\": 5}{}",
      "[1, 2, 3]",
      "\"text\"",
      "42",
      "null",
      "{\"a\": \"\xff\"}",
      "{\"last_check\": 5",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    WriteFile(StateFile(), text);
    EXPECT_EQ(LoadState(), Json::object());
  }
}

TEST_F(StateFileTest, DamagedFilesAreKeptAsideOnceReplacingAnOlderCopy) {
  const std::string aside = StateFile().string() + ".corrupt";
  const std::string at_cap = "{\"last_check\": 5}" + std::string(kMaxStateFileBytes - 17, ' ');
  ASSERT_EQ(at_cap.size(), kMaxStateFileBytes);
  const std::pair<std::string, std::string> damaged[] = {
      {"{\"last_check\": 5", "is not valid JSON"},
      {"{\"a\": \"\xff\"}", "is not valid JSON"},
      {"// comment\n{}", "is not valid JSON"},
      {"[1, 2, 3]", "is not a JSON object"},
      {at_cap + " ", "is larger than 1 MiB"},
      {"{\"k\":" + std::string(257, '[') + std::string(257, ']') + "}", "nests too deep"},
  };
  for (const auto& [text, what] : damaged) {
    SCOPED_TRACE(what);
    WriteFile(StateFile(), text);
    std::string problem;
    EXPECT_EQ(LoadState(&problem), Json::object());
    EXPECT_EQ(problem, "state file " + what +
                           "; kept aside as Updates.json.corrupt, starting from an empty state");
    EXPECT_FALSE(std::filesystem::exists(StateFile()));
    EXPECT_EQ(ReadFile(aside), text) << "the latest damaged file, byte for byte";
    // Nothing left to set aside on the next load.
    problem.clear();
    EXPECT_EQ(LoadState(&problem), Json::object());
    EXPECT_EQ(problem, "");
  }

  // Exactly at the cap the file is read; an empty file is simply empty.
  WriteFile(StateFile(), at_cap);
  std::string problem;
  EXPECT_EQ(ReadLastCheck(LoadState(&problem)), 5);
  WriteFile(StateFile(), "");
  EXPECT_EQ(LoadState(&problem), Json::object());
  EXPECT_EQ(problem, "");
  EXPECT_TRUE(std::filesystem::exists(StateFile()));
  EXPECT_EQ(ParseStateText(at_cap + " "), Json::object());
}

#ifndef _WIN32  // no FIFOs there
TEST_F(StateFileTest, AFifoIsUnreadableAndNeverWaitedOn) {
  std::filesystem::create_directories(Updates());
  ASSERT_EQ(::mkfifo(StateFile().c_str(), 0600), 0);
  std::string problem;
  EXPECT_EQ(LoadState(&problem), Json::object());
  EXPECT_EQ(problem, "");
  EXPECT_TRUE(std::filesystem::is_fifo(StateFile()));
}
#endif

TEST_F(StateFileTest, CrLfAndLfFilesReadTheSame) {
  WriteFile(StateFile(), "{\r\n   \"last_check\": 7\r\n}\r\n");
  const Json crlf = LoadState();
  WriteFile(StateFile(), "{\n   \"last_check\": 7\n}\n");
  EXPECT_EQ(LoadState(), crlf);
  EXPECT_EQ(ReadLastCheck(crlf), 7);
}

TEST_F(StateFileTest, EmptyObjectIsTwoBracesAndALineBreak) {
  ASSERT_TRUE(SaveState(Json::object()));
  EXPECT_EQ(ReadFile(StateFile()), TextFile("{}\n"));
}

TEST_F(StateFileTest, FullDocumentMatchesTheFourteenLineLayout) {
  Json state = Json::object();
  state["staged"] = StagedJson({"1.5.0", "/home/u/.local/share/Korrinwade/Solvane/Updates/S.exe",
                                std::string(64, 'a'), "Faster sync", "2026-07-16"});
  state["release_notes"] = ReleaseNotesJson("1.4.0", "Caf\xc3\xa9 \"quoted\"");
  state["last_check"] = 1784233880;
  ASSERT_TRUE(SaveState(state));
  const std::string expected =
      "{\n"
      "   \"last_check\": 1784233880,\n"
      "   \"release_notes\": {\n"
      "      \"notes\": \"Caf\xc3\xa9 \\\"quoted\\\"\",\n"
      "      \"version\": \"1.4.0\"\n"
      "   },\n"
      "   \"staged\": {\n"
      "      \"date\": \"2026-07-16\",\n"
      "      \"installer\": \"/home/u/.local/share/Korrinwade/Solvane/Updates/S.exe\",\n"
      "      \"notes\": \"Faster sync\",\n"
      "      \"sha256\": \"" +
      std::string(64, 'a') +
      "\",\n"
      "      \"version\": \"1.5.0\"\n"
      "   }\n"
      "}\n";
  EXPECT_EQ(ReadFile(StateFile()), TextFile(expected));
}

TEST_F(StateFileTest, UnknownKeysSurviveARoundTrip) {
  WriteFile(StateFile(), R"({"zeta": [1, {"b": null, "a": 2.5}], "alpha": true, "last_check": 3})");
  Json state = LoadState();
  state["last_check"] = 4;
  ASSERT_TRUE(SaveState(state));
  const Json reread = LoadState();
  EXPECT_EQ(reread["zeta"], Json::parse(R"([1, {"a": 2.5, "b": null}])"));
  EXPECT_EQ(reread["alpha"], true);
  EXPECT_EQ(reread["last_check"], 4);
}

TEST_F(StateFileTest, InvalidUtf8FailsTheSaveAndKeepsTheOldFile) {
  ASSERT_TRUE(SaveState(Json{{"last_check", 1}}));
  const std::string before = ReadFile(StateFile());
  EXPECT_FALSE(SaveState(Json{{"staged", {{"installer", "/home/\xe9t\xe9"}}}}));
  EXPECT_EQ(ReadFile(StateFile()), before);
}

TEST_F(StateFileTest, SaveFailsWhenTheFileCannotBeReplaced) {
  std::filesystem::create_directories(StateFile());  // a folder where the file belongs
  EXPECT_FALSE(SaveState(Json::object()));
  EXPECT_TRUE(std::filesystem::is_directory(StateFile()));
}

TEST_F(StateFileTest, NoTemporaryFilesAreLeftBehind) {
  ASSERT_TRUE(SaveState(Json{{"last_check", 1}}));
  ASSERT_TRUE(SaveState(Json{{"last_check", 2}}));
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(Updates())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(StateFileTest, APlainFileNamedUpdatesMakesEveryOperationThrow) {
  WriteFile(home_.path() / "Korrinwade/Solvane/Updates", "not a folder");
  EXPECT_THROW(UpdatesDirectory(), std::filesystem::filesystem_error);
  EXPECT_THROW(LoadState(), std::filesystem::filesystem_error);
  EXPECT_THROW((void)SaveState(Json::object()), std::filesystem::filesystem_error);
  try {
    UpdatesDirectory();
  } catch (const std::filesystem::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("create_directories"), std::string::npos);
  }
}

#ifndef _WIN32  // kills a forked writer
// A save killed at any moment leaves either the old or the new document,
// never a truncated file.
TEST_F(StateFileTest, KilledSavesNeverLeaveAPartialFile) {
  Json big = Json::object();
  for (int i = 0; i < 2000; ++i) big["key" + std::to_string(i)] = std::string(40, 'x');
  Json small = Json{{"last_check", 1}};
  ASSERT_TRUE(SaveState(small));

  for (int round = 0; round < 20; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) (void)SaveState(i % 2 ? small : big);  // killed mid-save
    }
    usleep(2000 + round * 1500);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const Json loaded = LoadState();
    EXPECT_TRUE(loaded == big || loaded == small) << "round " << round;
  }
}
#endif

TEST(StateText, AbsurdNestingReadsAsEmptyInsteadOfOverflowing) {
  std::string deep = "{\"k\":";
  for (int i = 0; i < 100000; ++i) deep += '[';
  for (int i = 0; i < 100000; ++i) deep += ']';
  deep += '}';
  EXPECT_EQ(ParseStateText(deep), Json::object());
  EXPECT_EQ(ParseStateText(R"({"k": "[[[[[[[[[[[[[[["})")["k"], "[[[[[[[[[[[[[[[");
}

}  // namespace
}  // namespace solvane
