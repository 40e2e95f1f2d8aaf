#include "app/dispatch.h"

#include <gtest/gtest.h>

namespace solvane {
namespace {

struct DispatchCase {
  std::vector<std::string> args;
  Workflow workflow;
  std::string version;
  bool force;
};

TEST(ParseCommandLine, FollowsTheDispatchTable) {
  const DispatchCase cases[] = {
      {{}, Workflow::kInstall, "", false},
      {{"SolvaneSetup"}, Workflow::kInstall, "", false},
      {{"SolvaneSetup", "--help"}, Workflow::kInstall, "", false},
      {{"SolvaneSetup", "/check"}, Workflow::kInstall, "", false},
      {{"SolvaneSetup", "--CHECK"}, Workflow::kInstall, "", false},
      {{"SolvaneSetup", "--check "}, Workflow::kInstall, "", false},
      {{"SolvaneSetup", "--apply"}, Workflow::kApply, "", false},
      {{"SolvaneSetup", "--apply", "x", "--force"}, Workflow::kApply, "", false},
      {{"SolvaneSetup", "--check"}, Workflow::kCheck, "0.0.0", false},
      {{"SolvaneSetup", "--check", "1.2.3"}, Workflow::kCheck, "1.2.3", false},
      {{"SolvaneSetup", "--check", "1.2.3", "--force"}, Workflow::kCheck, "1.2.3", true},
      {{"SolvaneSetup", "--check", "1.2.3", "x", "--force"}, Workflow::kCheck, "1.2.3", true},
      // The version is positional: "--force" in its place is the version.
      {{"SolvaneSetup", "--check", "--force"}, Workflow::kCheck, "--force", false},
      {{"SolvaneSetup", "--check", "1.2.3", "--FORCE"}, Workflow::kCheck, "1.2.3", false},
      {{"SolvaneSetup", "--check", ""}, Workflow::kCheck, "", false},
  };
  for (const DispatchCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Command command = ParseCommandLine(c.args);
    EXPECT_EQ(command.workflow, c.workflow);
    EXPECT_EQ(command.check.current_version, c.version);
    EXPECT_EQ(command.check.force, c.force);
  }
}

}  // namespace
}  // namespace solvane
