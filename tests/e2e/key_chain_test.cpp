// Key rotation through the real program built with the two test release
// keys as key set 1 and three test root keys, two of which must sign each
// later key set; key sets and manifests signed by Debian's minisign and
// served from a loopback server.
#include "release/key_chain.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "platform/untrusted_json.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/minisign_support.h"

namespace solvane {
namespace {

using namespace testing;
using Names = std::vector<std::string>;

std::string KeySetPath(int version) { return "/solvane/keys/" + std::to_string(version) + ".json"; }

// The log line of key set `version` accepted with release key `name`.
std::string Accepted(int version, const std::string& name, int floor) {
  return "check: key set " + std::to_string(version) + " accepted (release keys " +
         KeyIdText(ParsePublicKey(KeyLine(Key(name + ".pub")))->key_id) + "; serials from " +
         std::to_string(floor) + ")";
}

class KeyChainTest : public ProgramTest {
 protected:
  // Serves a manifest offering 1.5.0 at `serial`, signed with test key `key`.
  void ServeManifest(std::int64_t serial, const std::string& key) {
    const std::string installer = InstallerScript(Home() + "/ran");
    Json manifest = Json::parse(
        ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(), Sha256Of(installer).c_str(), "n"));
    manifest["releases"][SOLVANE_TEST_PLATFORM_KEY]["1.5.0"]["size"] = installer.size();
    manifest["serial"] = serial;
    manifest["expires"] = InAYear();
    server_->Serve(kManifestPath, manifest.dump());
    server_->Serve(kManifestPath + ".minisig", Minisign(manifest.dump(), Key(key + ".key")));
    server_->Serve(kInstallerPath, installer);
  }

  // Serves key set `version` with release key `release` and the build's
  // root keys, signed by each of `signers`; returns it and its signatures.
  std::pair<std::string, std::string> ServeKeySet(int version, const std::string& release,
                                                  const Names& signers, int floor = 0) {
    Json root_keys = Json::array();
    for (const char* name : {"root-1", "root-2", "root-3"}) {
      root_keys.push_back(KeyLine(Key(std::string(name) + ".pub")));
    }
    const std::string text = Json{
        {"version", version},
        {"release_keys", {KeyLine(Key(release + ".pub"))}},
        {"root_keys", root_keys},
        {"root_threshold", 2},
        {"serial_floor", floor}}.dump(2);
    std::string signatures;
    for (const std::string& signer : signers) signatures += Minisign(text, Key(signer + ".key"));
    server_->Serve(KeySetPath(version), text);
    server_->Serve(KeySetPath(version) + ".minisig", signatures);
    return {text, signatures};
  }

  // A forced check: its log lines about key sets, the manifest and staging.
  Messages Check() {
    const std::size_t before = WorkflowMessages(Home()).size();
    EXPECT_EQ(RunProgramAt(SOLVANE_TEST_ROOTED_PROGRAM, Home(), {"--check", "1.4.0", "--force"})
                  .exit_code,
              0);
    Messages lines = WorkflowMessages(Home());
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    std::erase_if(lines, [](const std::string& line) {
      return line.find("key set") == std::string::npos &&
             line.find("staged") == std::string::npos && line.find("rejected") == std::string::npos;
    });
    return lines;
  }

  int KeySetVersion() { return State().value("key_set", Json::object()).value("version", 1); }
};

const std::string kRetired = "check: manifest rejected: signed by a key no longer trusted";

// A rotation is followed once; the old key is refused after it, and the
// same set served again under the next number is refused as a replay.
TEST_F(KeyChainTest, ARotationIsFollowedOnceAndTheOldKeyIsRefusedAfterIt) {
  ServeManifest(3, "release-1");
  EXPECT_EQ(Check(), Messages{"check: staged 1.5.0"});
  const auto [text, signatures] = ServeKeySet(2, "release-3", {"root-1", "root-2"}, 10);
  ServeManifest(10, "release-3");
  EXPECT_EQ(Check(), (Messages{Accepted(2, "release-3", 10), "check: already staged 1.5.0"}));
  ServeManifest(11, "release-3");
  EXPECT_EQ(Check(), Messages{"check: already staged 1.5.0"});
  ServeManifest(12, "release-1");
  EXPECT_EQ(Check(), Messages{kRetired});
  EXPECT_EQ(server_->Hits(KeySetPath(2)), 1);

  server_->Serve(KeySetPath(3), text);
  server_->Serve(KeySetPath(3) + ".minisig", signatures);
  ServeManifest(12, "foreign");
  EXPECT_EQ(Check(), (Messages{"check: key set 3 refused: not the next key set",
                               "check: manifest rejected: unknown key"}));
  EXPECT_EQ(KeySetVersion(), 2);
}

// What the walk refuses leaves the build's keys in place.
TEST_F(KeyChainTest, RefusedKeySetsLeaveTheBuildsKeys) {
  struct Row {
    Names signers;
    int version, padding;
    std::string refusal;
  };
  const std::string too_few = "key set 2 refused: too few signatures of the current root keys";
  const Row rows[] = {
      {{"root-1"}, 2, 0, too_few},
      {{"root-1", "root-1"}, 2, 0, too_few},
      {{"root-1", "root-2"}, 3, 0, "no key set 2 on the server"},
      {{"root-1", "root-2"}, 2, int(kKeySetFileCap), "key set 2 refused: too large"},
  };
  ServeManifest(5, "release-3");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.refusal);
    home_ = std::make_unique<TempDir>();
    server_->Handle(KeySetPath(2), nullptr);
    const auto [text, signatures] = ServeKeySet(row.version, "release-3", row.signers);
    if (row.padding) server_->Serve(KeySetPath(2), text + std::string(row.padding, ' '));
    EXPECT_EQ(Check(),
              (Messages{"check: " + row.refusal, "check: manifest rejected: unknown key"}));
    EXPECT_FALSE(State().contains("key_set"));
  }
}

// One run accepts at most eight key sets; the next goes on from the last.
TEST_F(KeyChainTest, AChainLongerThanEightGoesOnAtTheNextRun) {
  for (int version = 2; version <= 10; ++version) {
    ServeKeySet(version, version == 10 ? "release-3" : "foreign", {"root-2", "root-3"});
  }
  ServeManifest(5, "release-3");
  const Messages first = Check();
  ASSERT_EQ(first.size(), 10u);
  EXPECT_EQ(Messages(first.end() - 3, first.end()),
            (Messages{Accepted(9, "foreign", 0),
                      "check: 8 key sets accepted in this run; the next run goes on",
                      "check: manifest rejected: unknown key"}));
  EXPECT_EQ(KeySetVersion(), 9);
  EXPECT_EQ(Check(), (Messages{Accepted(10, "release-3", 0), "check: staged 1.5.0"}));
}

// A stolen key's manifest at the highest serial holds every later one off
// until a rotation brings its own serial floor. Trust.json keeps the key
// set through a damaged state file; an installation that lost both walks
// the chain again from the build's set.
TEST_F(KeyChainTest, AFastForwardIsUndoneByRotatingAndAResetInstallationWalksAgain) {
  ServeManifest(INT64_MAX, "release-1");
  EXPECT_EQ(Check(), Messages{"check: staged 1.5.0"});
  ServeManifest(20, "release-2");
  EXPECT_EQ(Check(), Messages{"check: manifest rejected: older than serial 9223372036854775807"});
  ServeKeySet(2, "release-3", {"root-2", "root-3"}, 20);
  ServeManifest(20, "release-3");
  EXPECT_EQ(Check(), (Messages{Accepted(2, "release-3", 20), "check: already staged 1.5.0"}));
  EXPECT_EQ(State()["manifest_serial"], 20);
  ServeManifest(INT64_MAX, "release-1");
  EXPECT_EQ(Check(), Messages{kRetired});

  WriteFile(StateFile(), "{ damaged");
  EXPECT_EQ(Check(), Messages{kRetired});
  EXPECT_EQ(KeySetVersion(), 2);
  std::filesystem::remove_all(Updates());
  ServeManifest(21, "release-3");
  EXPECT_EQ(Check(), (Messages{Accepted(2, "release-3", 20), "check: staged 1.5.0"}));
  EXPECT_EQ(server_->Hits(KeySetPath(2)), 2);
}

}  // namespace
}  // namespace solvane
