#include "app/updates_run.h"

#include <gtest/gtest.h>

#include "log/activity_log.h"
#include "state/paths.h"
#include "state/records.h"
#include "tests/support/temp_dir.h"

namespace solvane {
namespace {

// Two runs in one process stand for two processes: each lock is its own
// open handle, so the second is refused while the first holds the folder.
TEST(UpdatesRun, OneHolderAtATimeAndEachHoldReadsWhatTheLastOneSaved) {
  const testing::TempDir data;
  SetDataDirectory(data.str());
  const std::string previous_log = SetLogPath("");
  UpdatesRun first = OpenUpdatesRun();
  LogMessage("run: opened");
  EXPECT_NE(testing::ReadFile(first.folder + "/SolvaneSetup.log").find("run: opened"),
            std::string::npos);

  ASSERT_TRUE(TakeFolder(first));
  WriteLastCheck(first.state, 1234);
  ASSERT_TRUE(SaveRun(first));

  UpdatesRun second = OpenUpdatesRun();
  EXPECT_FALSE(TakeFolder(second));
  EXPECT_TRUE(second.lock.busy);
  EXPECT_EQ(LockProblem(second.lock), "another SolvaneSetup is busy");
  // A brief change needs the folder too, and writes nothing without it.
  EXPECT_FALSE(ChangeStateBriefly(second, [](Json& state) { WriteLastCheck(state, 1); }));

  LetGoFolder(first);
  EXPECT_TRUE(ChangeStateBriefly(first, [](Json& state) { WriteLastCheck(state, 5678); }));
  EXPECT_EQ(ReadLastCheck(first.state), 1234) << "a brief change leaves the run's copy alone";
  ASSERT_TRUE(TakeFolder(second));
  EXPECT_EQ(ReadLastCheck(second.state), 5678);
  SetLogPath(previous_log);
}

}  // namespace
}  // namespace solvane
