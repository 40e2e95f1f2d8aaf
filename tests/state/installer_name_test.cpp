#include "state/installer_name.h"

#include <gtest/gtest.h>

namespace solvane {
namespace {

TEST(IsReservedName, TheProgramsOwnNamesInAnyCase) {
  const char* const reserved[] = {
      "Updates.json",        "updates.JSON",       "SolvaneSetup.log",   "SOLVANESETUP.LOG",
      "Updates.json.tmp-0a", "updates.json.TMP-x", "SolvaneSetup.log.1", "Updates.lock",
      "UPDATES.LOCK",        "setup.exe.partial",  "setup.exe.PARTIAL",  ".partial",
      "UPDATE~1.JSO",        "SOLVAN~2.LOG",
  };
  for (const char* name : reserved) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(IsReservedName(name));
    EXPECT_FALSE(InstallerFileName(std::string("https://h/r/") + name, "fallback"));
  }
  const char* const free_names[] = {
      "Solvane-1.5.0.exe", "Updates.json5",     "Updates.jsonx.exe", "MyUpdates.json",
      "partial.exe",       "setup.partial.exe", "Solvane~beta.exe",  "SolvaneSetup.logs",
  };
  for (const char* name : free_names) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(IsReservedName(name));
    EXPECT_EQ(InstallerFileName(std::string("https://h/r/") + name, "fallback"), name);
  }
}

}  // namespace
}  // namespace solvane
