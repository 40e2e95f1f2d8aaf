#include "app/command_line.h"

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

TEST(ParseCommandLine, TakesAChannelOnlyByAValidName) {
  const struct {
    std::vector<std::string> args;
    std::string channel;
    bool refused;
    bool force;
  } cases[] = {
      {{"S", "--check", "1.0", "--channel", "beta"}, "beta", false, false},
      {{"S", "--check", "1.0", "--force", "--channel", std::string(32, 'a')},
       std::string(32, 'a'),
       false,
       true},
      {{"S", "--check", "1.0", "--channel", std::string(33, 'a')}, "", true, false},
      {{"S", "--check", "1.0", "--channel", "Beta"}, "", true, false},
      // "--force" after it is no name.
      {{"S", "--check", "1.0", "--channel", "--force"}, "", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Command command = ParseCommandLine(c.args);
    EXPECT_EQ(command.check.channel, c.channel);
    EXPECT_EQ(command.check.channel_refused, c.refused);
    EXPECT_EQ(command.check.force, c.force);
  }
}

}  // namespace
}  // namespace solvane
