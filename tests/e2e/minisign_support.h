// Signed manifests for the end-to-end tests: Debian's minisign with the test
// keys the signed test program has built in.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "release/signed_members.h"
#include "tests/e2e/e2e_support.h"

namespace solvane::testing {

// The test key file `name` ("release-1.key").
inline std::string Key(const std::string& name) {
  return std::string(SOLVANE_TEST_KEYS_DIR) + "/" + name;
}

// The key line ("RW...") of the minisign public key file at `path`.
inline std::string KeyLine(const std::string& path) {
  const std::string text = ReadFile(path);
  return text.substr(text.find('\n') + 1, 56);
}

// A year from now as a manifest's `expires`.
inline std::string InAYear() { return FormatUtcTime(UnixNow() + 365 * 86400); }

// Signs `text` with Debian's minisign and returns the signature file.
inline std::string Minisign(const std::string& text, const std::string& secret_key,
                            bool legacy = false) {
  TempDir work;
  const std::string file = work.str() + "/manifest.json";
  WriteFile(file, text);
  std::vector<std::string> argv{SOLVANE_MINISIGN_PROGRAM, "-S", "-s", secret_key, "-m", file};
  if (legacy) argv.push_back("-l");
  const ToolRun run = RunTool(argv);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  return ReadFile(file + ".minisig");
}

}  // namespace solvane::testing
