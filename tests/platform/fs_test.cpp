// WriteFileAtomically through real files: what it leaves behind when it
// succeeds and when it cannot.
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::vector<std::string> Names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(WriteFileAtomically, ReplacesTheWholeFileAndLeavesNothingElse) {
  TempDir dir;
  const std::string path = dir.str() + "/manifest.json";
  WriteFile(path, std::string(100000, 'o'));  // longer than what replaces it
  const char kBytes[] = "{\n\"a\":\"\r\0\xff\"}\n";
  const std::string bytes(kBytes, sizeof kBytes - 1);
  ASSERT_TRUE(WriteFileAtomically(path, bytes, FileForm::kBinary));
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"manifest.json"});

  // The text form writes the OS's own line ends; a new file is made too.
  const std::string text_path = dir.str() + "/Updates.json";
  ASSERT_TRUE(WriteFileAtomically(text_path, "{\n}\n", FileForm::kText));
#ifdef _WIN32
  EXPECT_EQ(ReadFile(text_path), "{\r\n}\r\n");
#else
  EXPECT_EQ(ReadFile(text_path), "{\n}\n");
#endif
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"Updates.json", "manifest.json"}));
}

TEST(WriteFileAtomically, FailureKeepsTheOldEntryAndRemovesTheTemporaryFile) {
  TempDir dir;
  // The folder is missing: nothing is made.
  EXPECT_FALSE(WriteFileAtomically(dir.str() + "/missing/file", "x", FileForm::kBinary));
  EXPECT_TRUE(Names(dir.path()).empty());

  // A folder in the way cannot be renamed over: it stays, with what it holds,
  // and the temporary file written beside it goes.
  const std::string path = dir.str() + "/taken";
  WriteFile(path + "/inside", "kept");
  EXPECT_FALSE(WriteFileAtomically(path, "x", FileForm::kBinary));
  EXPECT_EQ(ReadFile(path + "/inside"), "kept");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"taken"});
}

// Housekeeping of the Updates folder recognises leftovers by this name.
TEST(WriteFileAtomically, TemporaryNamesContinueThePathWithTwelveHexDigits) {
  const std::string first = TemporaryNameFor("C:/x/Updates.json");
  const std::string second = TemporaryNameFor("C:/x/Updates.json");
  for (const std::string& name : {first, second}) {
    ASSERT_EQ(name.size(), std::string("C:/x/Updates.json.tmp-").size() + 12) << name;
    EXPECT_EQ(name.rfind("C:/x/Updates.json.tmp-", 0), 0u) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef", name.size() - 12), std::string::npos);
  }
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace solvane
