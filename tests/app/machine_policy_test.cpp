#include "app/machine_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace solvane {
namespace {

using Kind = PolicyValue::Kind;

PolicyValue Number(const char* name, std::int64_t number, const char* where = "HKLM") {
  return {name, Kind::kNumber, number, "", where};
}
PolicyValue Text(const char* name, const char* text, const char* where = "HKLM") {
  return {name, Kind::kText, 0, text, where};
}

// Each value alone: what it sets, or why it is refused.
TEST(MachinePolicy, TakesValuesOfTheRightTypeAndRangeOnly) {
  const struct {
    PolicyValue value;
    std::string in_force;  // "" when refused
    std::string refused = "";
  } cases[] = {
      {Number("UpdatesEnabled", 0), "UpdatesEnabled=0"},
      {Number("UpdatesEnabled", 2), "", "UpdatesEnabled=2 (HKLM) ignored: not 0 or 1"},
      {Text("UpdatesEnabled", "0"), "", "UpdatesEnabled=\"0\" (HKLM) ignored: not a number"},
      {Number("CheckIntervalHours", 720), "CheckIntervalHours=720"},
      {Number("CheckIntervalHours", 0), "", "CheckIntervalHours=0 (HKLM) ignored: not 1 to 720"},
      {Number("CheckIntervalHours", 721), "",
       "CheckIntervalHours=721 (HKLM) ignored: not 1 to 720"},
      {Text("Channel", "Beta"), "", "Channel=\"Beta\" (HKLM) ignored: not a channel name"},
      {Text("TargetVersionPrefix", "2.3."), "TargetVersionPrefix=2.3."},
      {Text("TargetVersionPrefix", "v2"), "",
       "TargetVersionPrefix=\"v2\" (HKLM) ignored: not a "
       "version prefix"},
      {Number("TargetVersionPrefix", 2), "", "TargetVersionPrefix=2 (HKLM) ignored: not text"},
      {{"MeteredDownloads", Kind::kOther, 0, "", "HKCU"},
       "",
       "MeteredDownloads (HKCU) ignored: not a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.name);
    const MachinePolicy policy = ReadMachinePolicy({{c.value}, {}});
    EXPECT_EQ(policy.InForce(), c.in_force);
    EXPECT_EQ(policy.refused.empty() ? "" : policy.refused.front(), c.refused);
  }
}

// The first store that holds a name decides, even with a value it refuses.
TEST(MachinePolicy, TheMachinesStoreDecidesBeforeTheUsers) {
  const MachinePolicy policy =
      ReadMachinePolicy({{Number("UpdatesEnabled", 0), Number("CheckIntervalHours", 0),
                          Text("Channel", "beta", "HKCU"), Number("UpdatesEnabled", 1, "HKCU"),
                          Number("CheckIntervalHours", 12, "HKCU")},
                         {"HKCU: cannot read the policy key (error 5)"}});
  EXPECT_EQ(policy.InForce(), "UpdatesEnabled=0, Channel=beta");
  EXPECT_EQ(policy.refused.size(), 2u);
}

// JSON's true and false are numbers; a fraction is none.
TEST(MachinePolicy, ReadsThePolicyFilesTypes) {
  const MachinePolicy policy = ReadMachinePolicy(
      ReadPolicyDocument(R"({"UpdatesEnabled": false, "CheckIntervalHours": 6.5})", "p.json"));
  EXPECT_EQ(policy.InForce(), "UpdatesEnabled=0");
  EXPECT_EQ(policy.refused,
            std::vector<std::string>{"CheckIntervalHours (p.json) ignored: not a number"});
}

}  // namespace
}  // namespace solvane
