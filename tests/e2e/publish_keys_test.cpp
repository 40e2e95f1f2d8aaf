// solvane-publish keys end to end: root keys and key sets it writes, what
// it refuses to sign, Debian's minisign verifying each signature it makes,
// and verify finding a broken chain.
#include <gtest/gtest.h>

#include <filesystem>

#include "release/key_chain.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/minisign_support.h"

namespace solvane {
namespace {

using namespace testing;
namespace fs = std::filesystem;

ToolRun Keys(std::vector<std::string> args) {
  args.insert(args.begin(), {SOLVANE_PUBLISH_PROGRAM, "keys"});
  return RunTool(args);
}

TEST(PublishKeys, KeySetsNeedBothQuorumsAndMinisignVerifiesEachSignature) {
  const TempDir work;
  const auto Work = [&work](const std::string& name) { return work.str() + "/" + name; };
  const std::string site = Work("site");
  ToolRun run = Keys({"init-root", "--root", site, "--release-key", Key("release-1.pub"), "--count",
                      "3", "--threshold", "2", "--out", Work("root"), "--no-password"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("-DSOLVANE_ROOT_PUBLIC_KEYS=\"" + KeyLine(Work("root-1.pub")) + ";"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("-DSOLVANE_ROOT_THRESHOLD=2"), std::string::npos);

  run = Keys({"rotate", "--root", site, "--release-key", Key("release-3.pub"), "--sign-with",
              Work("root-1.key")});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err,
            "solvane-publish: clients would refuse key set 2: too few signatures of the current "
            "root keys\n");
  EXPECT_FALSE(fs::exists(site + "/keys/2.json"));
  run = Keys({"rotate", "--root", site, "--release-key", Key("release-3.pub"), "--sign-with",
              Work("root-1.key"), "--sign-with", Work("root-3.key")});
  ASSERT_EQ(run.exit_code, 0) << run.err;

  // Each block is a signature file Debian's minisign verifies on its own.
  const std::optional<std::vector<std::string>> blocks =
      SplitSignatureFiles(ReadFile(site + "/keys/2.json.minisig"));
  ASSERT_TRUE(blocks && blocks->size() == 2);
  for (std::size_t i = 0; i < 2; ++i) {
    WriteFile(Work("block"), (*blocks)[i]);
    const std::string signer = Work(i == 0 ? "root-1.pub" : "root-3.pub");
    run = RunTool({SOLVANE_MINISIGN_PROGRAM, "-V", "-q", "-m", site + "/keys/2.json", "-x",
                   Work("block"), "-P", KeyLine(signer)});
    EXPECT_EQ(run.exit_code, 0) << run.err;
  }

  // New root keys need the old quorum and their own.
  ASSERT_EQ(Keys({"init-root", "--root", Work("scratch"), "--release-key", Key("release-1.pub"),
                  "--count", "2", "--threshold", "2", "--out", Work("new"), "--no-password"})
                .exit_code,
            0);
  std::vector<std::string> rotate_root{
      "rotate-root",     "--root",      site, "--root-key",  Work("new-1.pub"),  "--root-key",
      Work("new-2.pub"), "--threshold", "2",  "--sign-with", Work("root-1.key"), "--sign-with",
      Work("root-2.key")};
  run = Keys(rotate_root);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("too few signatures of its own root keys"), std::string::npos);
  rotate_root.insert(rotate_root.end(),
                     {"--sign-with", Work("new-2.key"), "--sign-with", Work("new-1.key")});
  ASSERT_EQ(Keys(rotate_root).exit_code, 0);

  run = Keys({"verify", "--root", site});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("key set 3: release keys " +
                         KeyIdText(ParsePublicKey(KeyLine(Key("release-3.pub")))->key_id)),
            std::string::npos)
      << run.out;
  // One changed byte: no signature over key set 2 holds any more.
  std::string two = ReadFile(site + "/keys/2.json");
  two[two.find("\"serial_floor\": ") + 16] ^= 1;
  WriteFile(site + "/keys/2.json", two);
  run = Keys({"verify", "--root", site});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err,
            "solvane-publish: key set 2 refused: too few signatures of the current root keys\n");
}

}  // namespace
}  // namespace solvane
