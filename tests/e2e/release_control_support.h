// The signed release tree the release-control tests publish, a forced
// check of a signed test build against it, and the policy test programs'
// policy file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "release/signed_members.h"
#include "tests/e2e/e2e_support.h"

namespace solvane::testing {

using Json = nlohmann::json;

// The policy test programs' policy file for the scope, removed after.
class PolicyFile {
 public:
  explicit PolicyFile(const std::string& text) {
    std::filesystem::create_directories(
        std::filesystem::path(SOLVANE_TEST_POLICY_FILE).parent_path());
    WriteFile(SOLVANE_TEST_POLICY_FILE, text);
  }
  ~PolicyFile() {
    std::error_code ignored;
    std::filesystem::remove(SOLVANE_TEST_POLICY_FILE, ignored);
  }
  PolicyFile(const PolicyFile&) = delete;
  PolicyFile& operator=(const PolicyFile&) = delete;
};

inline constexpr std::uint32_t kDrawAtSeventyPercent = 3006477107u;  // 0.7 * 2^32

class ReleaseControlTest : public ProgramTest {
 protected:
  std::string Path(const std::string& version) const {
    return "/solvane/releases/" + version +
           (one_name_ ? "/Setup.sh" : "/Solvane-" + version + ".sh");
  }
  std::string Installer(const std::string& version) const {
    return InstallerScript(Home() + "/ran-" + version);
  }

  // Serves every listed version's installer and the manifest, signed with a
  // test key; each publication raises the serial, as the vendor tool does.
  // `entries` maps versions to the members beside url, sha256 and notes.
  void Publish(const Json& current, const Json& entries, const Json& more = Json::object()) {
    Json releases = Json::object();
    for (const auto& [version, members] : entries.items()) {
      Json entry = members;
      entry["url"] = ReleaseUrl(Path(version));
      entry["sha256"] = Sha256Of(Installer(version));
      entry["size"] = Installer(version).size();
      entry["notes"] = "notes of " + version;
      releases[version] = entry;
      server_->Serve(Path(version), Installer(version));
    }
    Json manifest = {{"serial", ++serial_},
                     {"expires", FormatUtcTime(UnixNow() + 86400)},
                     {"current", current},
                     {"releases", {{SOLVANE_TEST_PLATFORM_KEY, releases}}}};
    manifest.update(more);
    const std::string text = manifest.dump(2);
    TempDir work;
    WriteFile(work.str() + "/m.json", text);
    const ToolRun signing = RunTool({SOLVANE_MINISIGN_PROGRAM, "-S", "-s",
                                     std::string(SOLVANE_TEST_KEYS_DIR) + "/release-1.key", "-m",
                                     work.str() + "/m.json"});
    ASSERT_EQ(signing.exit_code, 0) << signing.err;
    published_ = {text, ReadFile(work.str() + "/m.json.minisig")};
    Serve(published_);
  }

  // Serves a publication's manifest and signature.
  void Serve(const std::pair<std::string, std::string>& publication) {
    server_->Serve(kManifestPath, publication.first);
    server_->Serve(kManifestPath + ".minisig", publication.second);
  }

  static Json Stable(const std::string& version) {
    return {{"stable", {{SOLVANE_TEST_PLATFORM_KEY, version}}}};
  }

  // A forced check of the signed build; the log lines it wrote.
  Messages Check(const std::string& installed, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--check", installed, "--force"};
    args.insert(args.end(), more.begin(), more.end());
    return RunLogged(SOLVANE_TEST_SIGNED_PROGRAM, args);
  }

  // A run of `program` with `args`; the log lines it wrote.
  Messages RunLogged(const char* program, const std::vector<std::string>& args) {
    const std::size_t before = WorkflowMessages(Home()).size();
    EXPECT_EQ(RunProgramAt(program, Home(), args).exit_code, 0);
    const Messages log = WorkflowMessages(Home());
    return Messages(log.begin() + static_cast<std::ptrdiff_t>(before), log.end());
  }

  void SetDraw(std::uint32_t draw) { WriteFile(StateFile(), Json{{"rollout_draw", draw}}.dump()); }

  static bool Logged(const Messages& log, const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  int serial_ = 0;
  std::pair<std::string, std::string> published_;  // the last manifest and signature
  bool one_name_ = false;                          // every installer is named Setup.sh
};

}  // namespace solvane::testing
