// Narrow ANSI paths on Windows, through real folders and files: names with
// characters beyond ASCII are widened with the file-system code page, stored
// in the state file as UTF-8, and found again from what the state file holds.
// The state file itself is text with CR LF line ends.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/encoding.h"
#include "platform/fs.h"
#include "state/paths.h"
#include "state/records.h"
#include "state/state_file.h"
#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

using testing::ReadFile;
using testing::TempDir;

// `wide` in the ANSI code page, or nullopt when a character has no exact
// form there.
std::optional<std::string> Ansi(const std::wstring& wide) {
  BOOL used_default = FALSE;
  const int size =
      ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                            static_cast<int>(wide.size()), nullptr, 0, nullptr, &used_default);
  if (size <= 0 || used_default) return std::nullopt;
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        out.data(), size, nullptr, &used_default);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  return EncodeUtf8(std::u16string(wide.begin(), wide.end()));
}

// Folder names a European profile could have; each is tried when the ANSI
// code page of the test machine can spell it.
const wchar_t* const kNames[] = {L"J\u00f6rg M\u00fcller", L"Ren\u00e9e \u00c5ngstr\u00f6m",
                                 L"Stra\u00dfe \u20ac 5"};

TEST(AnsiPaths, ConvertToUtf8AndBackExactly) {
  int tried = 0;
  for (const wchar_t* name : kNames) {
    const std::wstring wide = std::wstring(L"C:/Users/") + name + L"/AppData/Roaming";
    const std::optional<std::string> ansi = Ansi(wide);
    if (!ansi) continue;
    ++tried;
    SCOPED_TRACE(Utf8(wide));
    const std::optional<std::string> utf8 = PathToUtf8(*ansi);
    ASSERT_TRUE(utf8.has_value());
    EXPECT_EQ(*utf8, Utf8(wide));
    const std::optional<std::string> back = Utf8ToPath(*utf8);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, *ansi);
  }
  EXPECT_GT(tried, 0) << "ANSI code page " << ::GetACP() << " spells none of the names";

  EXPECT_EQ(PathToUtf8(""), std::optional<std::string>(""));
  EXPECT_EQ(PathToUtf8("C:/plain/ascii"), std::optional<std::string>("C:/plain/ascii"));
  EXPECT_EQ(Utf8ToPath("C:/plain/ascii"), std::optional<std::string>("C:/plain/ascii"));
}

TEST(AnsiPaths, RefuseTextWithoutAnExactNarrowForm) {
  // Not UTF-8 at all: a lone continuation byte, a truncated sequence.
  EXPECT_FALSE(Utf8ToPath("C:/a\x80/b").has_value());
  EXPECT_FALSE(Utf8ToPath("C:/a\xC3").has_value());
  if (::GetACP() != CP_UTF8) {
    // Valid UTF-8 that a one-byte code page cannot spell must not turn into
    // a best-fit look-alike or '?', which would name another file.
    EXPECT_FALSE(Utf8ToPath("C:/\xE6\x97\xA5\xE6\x9C\xAC").has_value());  // two CJK characters
    EXPECT_FALSE(Utf8ToPath("C:/\xE2\x84\xAA").has_value());              // Kelvin sign
  }
}

class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = temp_.str();
    for (char& c : base) {
      if (c == '\\') c = '/';
    }
    base_ = base;
  }
  void UseDataDirectory(const std::string& directory) { SetDataDirectory(directory); }

  TempDir temp_;
  std::string base_;
};

TEST_F(DataFolderTest, StateFileIsTextWithCrLfLineEnds) {
  UseDataDirectory(base_ + "/Korrinwade/Solvane");
  const std::filesystem::path file =
      temp_.path() / "Korrinwade" / "Solvane" / "Updates" / "Updates.json";

  ASSERT_TRUE(SaveState(Json::object()));
  EXPECT_EQ(ReadFile(file), "{}\r\n") << "an empty document is 4 bytes on Windows";

  Json state = Json::object();
  state["last_check"] = 1765200000;
  state["release_notes"] = ReleaseNotesJson("0.1.0", "First.");
  StagedRecord staged;
  staged.version = "0.2.0";
  staged.installer = UpdatesDirectory() + "/Solvane-0.2.0.exe";
  staged.sha256 = std::string(64, 'a');
  staged.notes = "Second.";
  staged.date = "2026-12-08";
  state["staged"] = StagedJson(staged);
  ASSERT_TRUE(SaveState(state));

  const std::string text = ReadFile(file);
  const std::string expected =
      "{\r\n"
      "   \"last_check\": 1765200000,\r\n"
      "   \"release_notes\": {\r\n"
      "      \"notes\": \"First.\",\r\n"
      "      \"version\": \"0.1.0\"\r\n"
      "   },\r\n"
      "   \"staged\": {\r\n"
      "      \"date\": \"2026-12-08\",\r\n"
      "      \"installer\": \"" +
      staged.installer +
      "\",\r\n"
      "      \"notes\": \"Second.\",\r\n"
      "      \"sha256\": \"" +
      staged.sha256 +
      "\",\r\n"
      "      \"version\": \"0.2.0\"\r\n"
      "   }\r\n"
      "}\r\n";
  EXPECT_EQ(text, expected);

  // Read back as it was written, and LF-only files read the same.
  EXPECT_EQ(LoadState(), state);
  std::string lf = text;
  for (std::size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
  testing::WriteFile(file, lf);
  EXPECT_EQ(LoadState(), state);

  // No temporary files are left beside it.
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(DataFolderTest, NonAsciiProfileFolderRoundTripsThroughTheStateFile) {
  std::wstring wide_name;
  std::optional<std::string> ansi_name;
  for (const wchar_t* name : kNames) {
    ansi_name = Ansi(name);
    if (ansi_name) {
      wide_name = name;
      break;
    }
  }
  ASSERT_TRUE(ansi_name) << "ANSI code page " << ::GetACP() << " spells none of the names";

  // The data folder as the 8-bit shell call would give it for such a profile.
  UseDataDirectory(base_ + "/" + *ansi_name + "/Korrinwade/Solvane");
  const std::string installer = UpdatesDirectory() + "/Solvane-0.2.0.exe";
  {
    UniqueFile out = OpenFile(installer, "wb");
    ASSERT_TRUE(out) << "cannot create a file below the non-ASCII folder";
    std::fputs("MZ", out.get());
  }
  // On disk the folder carries the real characters, not mojibake.
  EXPECT_TRUE(std::filesystem::is_directory(temp_.path() / wide_name / L"Korrinwade"));
  EXPECT_TRUE(std::filesystem::exists(temp_.path() / wide_name / L"Korrinwade" / L"Solvane" /
                                      L"Updates" / L"Solvane-0.2.0.exe"));

  // What the update check stores: the path as UTF-8.
  const std::optional<std::string> stored = PathToUtf8(installer);
  ASSERT_TRUE(stored);
  StagedRecord staged;
  staged.version = "0.2.0";
  staged.installer = *stored;
  Json state = Json::object();
  state["staged"] = StagedJson(staged);
  ASSERT_TRUE(SaveState(state));
  const std::string text = ReadFile(temp_.path() / wide_name / L"Korrinwade" / L"Solvane" /
                                    L"Updates" / L"Updates.json");
  EXPECT_NE(text.find(Utf8(wide_name)), std::string::npos) << text;

  // What --apply reads back finds the same file.
  const std::optional<StagedRecord> loaded = ReadStaged(LoadState());
  ASSERT_TRUE(loaded);
  const std::optional<std::string> path = Utf8ToPath(loaded->installer);
  ASSERT_TRUE(path);
  EXPECT_EQ(*path, installer);
  EXPECT_TRUE(PathExists(*path));
  EXPECT_TRUE(RemovePath(*path));
  EXPECT_FALSE(PathExists(*path));
}

TEST_F(DataFolderTest, ReplacingAndRemovingFilesFollowTheFileSystemRules) {
  const std::string a = base_ + "/a.txt";
  const std::string b = base_ + "/b.txt";
  testing::WriteFile(temp_.path() / "a.txt", "new");
  testing::WriteFile(temp_.path() / "b.txt", "old");

  EXPECT_TRUE(CanReplace(b));
  EXPECT_TRUE(CanReplace(base_ + "/missing.txt"));
  ASSERT_TRUE(RenameOver(a, b));
  EXPECT_EQ(ReadFile(temp_.path() / "b.txt"), "new");
  EXPECT_FALSE(PathExists(a));
  EXPECT_FALSE(RenameOver(a, b)) << "nothing left to move";

  // A read-only file is the user's wish to keep it.
  const std::wstring wide_b = (temp_.path() / "b.txt").wstring();
  ASSERT_TRUE(::SetFileAttributesW(wide_b.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(CanReplace(b));
  ::SetFileAttributesW(wide_b.c_str(), FILE_ATTRIBUTE_NORMAL);

  // A folder is not a file to replace or delete.
  EXPECT_TRUE(PathExists(base_));
  EXPECT_FALSE(CanReplace(base_));
  EXPECT_FALSE(RemovePath(base_));
  EXPECT_TRUE(PathExists(base_));

  EXPECT_TRUE(RemovePath(b));
  EXPECT_TRUE(RemovePath(b)) << "already gone counts as removed";
  EXPECT_TRUE(RemovePath(base_ + "/no/such/folder/file"));

  // Writing in text mode stores CR LF; binary mode stores what it is given.
  {
    UniqueFile text = OpenFile(a, "w");
    ASSERT_TRUE(text);
    std::fputs("x\ny\n", text.get());
    EXPECT_TRUE(FlushToDisk(text.get()));
  }
  EXPECT_EQ(ReadFile(temp_.path() / "a.txt"), "x\r\ny\r\n");
  EXPECT_FALSE(OpenFile(base_ + "/missing/x.txt", "r"));
}

TEST(FileSystemPaths, WidenWithTheFileSystemCodePage) {
  // ToFsPath follows the file APIs: ANSI by default, OEM after
  // SetFileApisToOEM. The OEM and ANSI code pages spell accented letters
  // with different bytes, so one byte string names two different files.
  const std::wstring wide = L"\u00e9t\u00e9";
  const std::optional<std::string> ansi = Ansi(wide);
  if (!ansi || ::GetACP() == ::GetOEMCP()) GTEST_SKIP() << "code pages do not differ here";

  EXPECT_EQ(ToFsPath(*ansi).wstring(), wide);
  ::SetFileApisToOEM();
  const std::wstring as_oem = ToFsPath(*ansi).wstring();
  ::SetFileApisToANSI();
  EXPECT_NE(as_oem, wide);
  EXPECT_EQ(ToFsPath(*ansi).wstring(), wide);
}

}  // namespace
}  // namespace solvane
