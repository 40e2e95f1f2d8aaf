#include "release/verify.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "platform/encoding.h"
#include "tests/support/temp_dir.h"
#ifndef _WIN32
#include "tests/support/run_program.h"
#endif

namespace solvane {
namespace {

using testing::TempDir;
using testing::WriteFile;

// Empty input (FIPS 180-4 / NIST example values).
constexpr const char* kEmptyDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Deterministic bytes: the top byte of i * 2654435761 (mod 2^32). The digests
// below for these contents were computed with coreutils' sha256sum, which
// does not use OpenSSL.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(static_cast<std::uint32_t>(i * 2654435761u) >> 24);
  }
  return bytes;
}

struct KnownDigest {
  const char* name;
  std::string content;
  const char* digest;
};

std::vector<KnownDigest> KnownDigests() {
  return {
      // FIPS 180-4 test vectors (NIST "SHA256.pdf" examples).
      {"Empty", "", kEmptyDigest},
      {"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"Message448Bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      // 122 full chunks and one of 576 bytes.
      {"MillionA", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Short files: one chunk, then the end of the file.
      {"Pattern1", Pattern(1), "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
      {"Pattern63", Pattern(63),
       "7be910d529434dd8a31078d25667457b6040c888d64904b25d3ca95f1eae6b16"},
      {"Pattern64", Pattern(64),
       "51e945469a3948debf6fc154e954fd6623ebbc21da2a3ee5e3ee0264e2cef6f2"},
      {"Pattern65", Pattern(65),
       "3c3e113ec16f54924b2c563c7304d9e10ed4d9b54f266fecfbdc63978a14c9b4"},
      {"Pattern8191", Pattern(8191),
       "a3c1da0ca9f5b72c50c8cd6932567b708f95e327155115f0452877331a6cc58d"},
      // Exact multiples of 8192: the final read delivers nothing.
      {"Pattern8192", Pattern(8192),
       "d17bb25ff10882b5d967da4173e6a84a19aed851543648bea2387f744ebcd7fe"},
      {"A8192", std::string(8192, 'a'),
       "dd4e6730520932767ec0a9e33fe19c4ce24399d6eba4ff62f13013c9ed30ef87"},
      {"Pattern16384", Pattern(16384),
       "8d5a927da22402130e8b3197f1be29eba10ca80071426f10eed00cb5fa4c4cbb"},
      {"Pattern24576", Pattern(3 * 8192),
       "f7803b84c8cb480eaad62586fd2dd8fff176c8fb21a2e0f971e4e8dc1cd769da"},
      // Several chunks and a short last one.
      {"Pattern8193", Pattern(8193),
       "5ce579824ad61ef0726e1d1b4bb778e98e4352f895d1f7948b84a0e278e68a61"},
      {"Pattern24577", Pattern(3 * 8192 + 1),
       "8b746f4d5043f7469423381e51bb696d9d78730130a7e35c728683f4652b9dde"},
      {"Pattern100003", Pattern(100003),
       "56901783eea6d6fb5468fc1f5c4a4bbbb6268b138cf98166a077ea612e36f8ad"},
  };
}

class VerifyKnownDigestTest : public ::testing::TestWithParam<KnownDigest> {
 protected:
  std::string WriteContent() {
    const std::string path = (dir_.path() / "installer.exe").string();
    WriteFile(path, GetParam().content);
    EXPECT_EQ(std::filesystem::file_size(path), GetParam().content.size());
    return path;
  }
  TempDir dir_;
};

TEST_P(VerifyKnownDigestTest, MatchesOnlyTheExactLowerCaseText) {
  const std::string path = WriteContent();
  const std::string digest = GetParam().digest;

  EXPECT_TRUE(VerifySha256(path, digest));
  EXPECT_EQ(Sha256Hex(path), digest);

  EXPECT_FALSE(VerifySha256(path, AsciiUpper(digest)));
  EXPECT_FALSE(VerifySha256(path, digest + "\n"));
  EXPECT_FALSE(VerifySha256(path, digest + "\r\n"));
  EXPECT_FALSE(VerifySha256(path, digest + " "));
  EXPECT_FALSE(VerifySha256(path, " " + digest));
  EXPECT_FALSE(VerifySha256(path, digest.substr(0, 63)));  // 63 characters
  EXPECT_FALSE(VerifySha256(path, digest + "0"));          // 65 characters
  EXPECT_FALSE(VerifySha256(path, digest + std::string(1, '\0')));
  EXPECT_FALSE(VerifySha256(path, ""));
  std::string last_changed = digest;
  last_changed[63] = last_changed[63] == '0' ? '1' : '0';
  EXPECT_FALSE(VerifySha256(path, last_changed));
  std::string first_changed = digest;
  first_changed[0] = first_changed[0] == '0' ? '1' : '0';
  EXPECT_FALSE(VerifySha256(path, first_changed));
}

INSTANTIATE_TEST_SUITE_P(Files, VerifyKnownDigestTest, ::testing::ValuesIn(KnownDigests()),
                         [](const ::testing::TestParamInfo<KnownDigest>& info) {
                           return info.param.name;
                         });

class VerifyTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  TempDir dir_;
};

TEST_F(VerifyTest, EmptyFileMatchesOnlyTheEmptyInputDigest) {
  const std::string path = Path("empty.exe");
  WriteFile(path, "");
  EXPECT_TRUE(VerifySha256(path, kEmptyDigest));
  EXPECT_FALSE(VerifySha256(path, AsciiUpper(kEmptyDigest)));
  EXPECT_FALSE(VerifySha256(path, ""));
  EXPECT_FALSE(VerifySha256(path, std::string(64, '0')));
}

TEST_F(VerifyTest, AnUpperCaseDigestOfTheRightFileNeverMatches) {
  const std::string path = Path("abc.exe");
  WriteFile(path, "abc");
  EXPECT_FALSE(
      VerifySha256(path, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
  EXPECT_FALSE(
      VerifySha256(path, "Ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_TRUE(
      VerifySha256(path, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

TEST_F(VerifyTest, MissingPathIsFalseAndCreatesNothing) {
  const std::string path = Path("missing.exe");
  EXPECT_FALSE(VerifySha256(path, kEmptyDigest));
  EXPECT_FALSE(Sha256Hex(path).has_value());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(VerifySha256(Path("no/such/folder/x.exe"), kEmptyDigest));
  EXPECT_FALSE(std::filesystem::exists(Path("no")));
  EXPECT_FALSE(VerifySha256("", kEmptyDigest));
}

TEST_F(VerifyTest, DirectoryIsNotAFile) {
  // Not readable as a file: it must not pass as empty content.
  const std::string path = Path("folder.exe");
  std::filesystem::create_directory(path);
  EXPECT_FALSE(VerifySha256(path, kEmptyDigest));
  EXPECT_FALSE(Sha256Hex(path).has_value());
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

#ifndef _WIN32  // POSIX permissions
TEST_F(VerifyTest, UnreadableFileIsFalse) {
  const std::string path = Path("locked.exe");
  const std::string abc_digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  WriteFile(path, "abc");
  // Root reads any file: the check runs in a child as a user the mode binds,
  // who may reach the folder, so only the file's own mode is in the way.
  testing::GiveToUnprivilegedUser(dir_.path());
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const auto verify_as_user = [&] {
    if (!testing::DropToUnprivilegedUser()) std::_Exit(2);
    std::_Exit(VerifySha256(path, abc_digest) ? 1 : 0);
  };
  EXPECT_EXIT(verify_as_user(), ::testing::ExitedWithCode(0), "");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_TRUE(VerifySha256(path, abc_digest));  // the same file, readable
}
#endif

TEST_F(VerifyTest, DoesNotChangeTheFile) {
  const std::string path = Path("same.exe");
  const std::string content = Pattern(20000);
  WriteFile(path, content);
  const auto before = std::filesystem::last_write_time(path);
  EXPECT_FALSE(VerifySha256(path, std::string(64, 'f')));
  EXPECT_EQ(testing::ReadFile(path), content);
  EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

#ifndef _WIN32  // runs coreutils
// Random sizes around the chunk boundaries, against coreutils' sha256sum run
// as a separate process (an implementation that does not use OpenSSL).
TEST_F(VerifyTest, RandomSizesAgreeWithSha256sum) {
  if (std::system("command -v sha256sum >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sha256sum";
  std::mt19937 random(20240611);
  const std::size_t sizes[] = {2,         127,          4096,         8190,
                               8194,      2 * 8192 - 1, 2 * 8192 + 1, 5 * 8192 + 4095,
                               65536 + 3, 262144,       300007};
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (char& c : content) c = static_cast<char>(random());
    const std::string path = Path("random-" + std::to_string(size) + ".bin");
    WriteFile(path, content);

    std::FILE* pipe = ::popen(("sha256sum '" + path + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    ASSERT_TRUE(got);
    const std::string expected(line, 64);

    EXPECT_TRUE(VerifySha256(path, expected));
    EXPECT_EQ(Sha256Hex(path), expected);
  }
}
#endif

}  // namespace
}  // namespace solvane
