// Shared pieces of the end-to-end tests: a release tree on the loopback
// server the test build of the program is made for, and the program's files.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/release_server.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace solvane::testing {

// Where the tests publish the manifest and release 1.5.0's installer.
inline const std::string kManifestPath = "/solvane/manifest.json";
inline const std::string kInstallerPath = "/solvane/releases/1.5.0/Solvane-1.5.0.sh";

// Activity log messages, as LogMessages returns them.
using Messages = std::vector<std::string>;

// A fresh home folder for the test program and a release server on its
// loopback port; either can be replaced part-way (a new home, no server).
class ProgramTest : public ::testing::Test {
 protected:
  std::string Home() const { return home_->str(); }
  std::string Updates() const { return UpdatesDirIn(Home()); }
  std::string StateFile() const { return Updates() + "/Updates.json"; }
  nlohmann::json State() const { return nlohmann::json::parse(ReadFile(StateFile())); }

  std::unique_ptr<TempDir> home_ = std::make_unique<TempDir>();
  std::unique_ptr<ReleaseServer> server_ = std::make_unique<ReleaseServer>(SOLVANE_TEST_PORT);
};

// Base of every release URL the test program knows.
std::string ReleaseUrl(const std::string& path);

// A manifest naming `version` as stable for the test platform, with one
// release entry. Members given as nullptr are left out.
std::string ManifestFor(const std::string& version, const char* url, const char* sha256,
                        const char* notes);

// A shell-script installer that writes "ran" into `marker` when it runs.
std::string InstallerScript(const std::string& marker);

// SHA-256 of `content` as lower-case hexadecimal.
std::string Sha256Of(const std::string& content);

// The messages of the activity log in `home`, time stamps stripped.
std::vector<std::string> LogMessages(const std::string& home);

// LogMessages without the transfers' "FetchManifest: route ..." lines,
// for tests of what the workflows log.
std::vector<std::string> WorkflowMessages(const std::string& home);

// A policy file at `path` for the scope, removed after.
class PolicyFile {
 public:
  PolicyFile(std::string path, const std::string& text);
  ~PolicyFile();
  PolicyFile(const PolicyFile&) = delete;
  PolicyFile& operator=(const PolicyFile&) = delete;

 private:
  std::string path_;
};

// Waits (bounded) for a file that a detached process writes.
bool WaitForFile(const std::string& path);

}  // namespace solvane::testing

namespace solvane::testing {

struct ToolRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs `argv[0]` with the arguments, capturing its standard output and error.
ToolRun RunTool(const std::vector<std::string>& argv);

// A 4 MiB tmpfs mounted on `folder` (created) for the scope, as a small disk
// for the updates folder. `mounted` is false, with `refused` saying why, where
// the system will not mount one (not root).
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& folder);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted = false;
  std::string refused;

 private:
  std::string folder_;
};

}  // namespace solvane::testing
