// The machine administrator's policies as the workflows use them: each value
// checked for its type and range, a wrong one refused whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/machine_policy.h"

namespace solvane {

// Checks are daily unless a policy says otherwise, within these bounds.
inline constexpr std::int64_t kMinCheckIntervalHours = 1;
inline constexpr std::int64_t kMaxCheckIntervalHours = 720;

// The policies in force; an unset member is no policy.
struct MachinePolicy {
  std::optional<bool> updates_enabled;
  std::optional<std::int64_t> check_interval_hours;
  std::optional<std::string> channel;
  std::optional<std::string> target_version_prefix;
  std::optional<bool> rollback_to_target;
  std::optional<bool> delta_updates;
  std::optional<bool> metered_downloads;
  // What was refused and why ("CheckIntervalHours=0 (HKLM) ignored: not 1 to 720"),
  // and stores that could not be read, for the log once per run.
  std::vector<std::string> refused;

  [[nodiscard]] bool UpdatesOff() const { return updates_enabled == false; }
  [[nodiscard]] bool DeltasOff() const { return delta_updates == false; }
  [[nodiscard]] bool MeteredAllowed() const { return metered_downloads == true; }
  [[nodiscard]] bool RollsBack() const { return rollback_to_target == true; }
  // "UpdatesEnabled=0, Channel=beta": each policy in force; "" for none.
  [[nodiscard]] std::string InForce() const;
};

// The policies `values` set. For each name the first store that holds it
// decides (HKLM before HKCU): a value of the wrong type or range there is
// refused and the policy left unset, not taken from a store below it.
// Unknown names are refused too, so that a misspelt policy is seen.
[[nodiscard]] MachinePolicy ReadMachinePolicy(const PolicyValues& values);

// True for a TargetVersionPrefix: 1 to 32 characters of digits and dots,
// led by a digit ("2.", "2.3.").
[[nodiscard]] bool IsVersionPrefix(const std::string& text);

}  // namespace solvane
