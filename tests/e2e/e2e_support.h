// Shared pieces of the end-to-end tests: a release tree on the loopback
// server the test build of the program is made for, and the program's files.
#pragma once

#include <string>
#include <vector>

#include "tests/support/release_server.h"
#include "tests/support/temp_dir.h"

namespace solvane::testing {

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

// LogMessages without the transfer layer's "FetchManifest: route ..." lines,
// for tests of what the workflows log.
std::vector<std::string> WorkflowMessages(const std::string& home);

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

}  // namespace solvane::testing
