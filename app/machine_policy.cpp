#include "app/machine_policy.h"

#include <algorithm>
#include <set>

#include "release/release_choice.h"

namespace solvane {
namespace {

enum class Shape { kFlag, kHours, kChannel, kPrefix };

struct Known {
  const char* name;
  Shape shape;
};

constexpr Known kKnown[] = {
    {"UpdatesEnabled", Shape::kFlag},   {"CheckIntervalHours", Shape::kHours},
    {"Channel", Shape::kChannel},       {"TargetVersionPrefix", Shape::kPrefix},
    {"RollbackToTarget", Shape::kFlag}, {"DeltaUpdates", Shape::kFlag},
    {"MeteredDownloads", Shape::kFlag},
};

// How a refused value reads in the log.
std::string Shown(const PolicyValue& value) {
  switch (value.kind) {
    case PolicyValue::Kind::kNumber:
      return value.name + "=" + std::to_string(value.number);
    case PolicyValue::Kind::kText:
      return value.name + "=\"" + value.text.substr(0, 40) + "\"";
    case PolicyValue::Kind::kOther:
      break;
  }
  return value.name;
}

// Why `value` is not of `shape`, or "".
std::string Wrong(const PolicyValue& value, Shape shape) {
  const bool number = value.kind == PolicyValue::Kind::kNumber;
  const bool text = value.kind == PolicyValue::Kind::kText;
  switch (shape) {
    case Shape::kFlag:
      if (!number) return "not a number";
      return value.number == 0 || value.number == 1 ? "" : "not 0 or 1";
    case Shape::kHours:
      if (!number) return "not a number";
      return value.number >= kMinCheckIntervalHours && value.number <= kMaxCheckIntervalHours
                 ? ""
                 : "not 1 to 720";
    case Shape::kChannel:
      if (!text) return "not text";
      return IsChannelName(value.text) ? "" : "not a channel name";
    case Shape::kPrefix:
      if (!text) return "not text";
      return IsVersionPrefix(value.text) ? "" : "not a version prefix";
  }
  return "";
}

void Apply(MachinePolicy& policy, const PolicyValue& value) {
  const bool on = value.number == 1;
  if (value.name == "UpdatesEnabled") policy.updates_enabled = on;
  if (value.name == "CheckIntervalHours") policy.check_interval_hours = value.number;
  if (value.name == "Channel") policy.channel = value.text;
  if (value.name == "TargetVersionPrefix") policy.target_version_prefix = value.text;
  if (value.name == "RollbackToTarget") policy.rollback_to_target = on;
  if (value.name == "DeltaUpdates") policy.delta_updates = on;
  if (value.name == "MeteredDownloads") policy.metered_downloads = on;
}

}  // namespace

bool IsVersionPrefix(const std::string& text) {
  if (text.empty() || text.size() > 32 || text.front() < '0' || text.front() > '9') return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

MachinePolicy ReadMachinePolicy(const PolicyValues& values) {
  MachinePolicy policy;
  policy.refused = values.problems;
  std::set<std::string> decided;
  for (const PolicyValue& value : values.values) {
    const auto known = std::find_if(std::begin(kKnown), std::end(kKnown),
                                    [&](const Known& k) { return value.name == k.name; });
    const std::string why = known == std::end(kKnown) ? "not a policy" : Wrong(value, known->shape);
    // A store below the first that holds a name has no say in it.
    if (known != std::end(kKnown) && !decided.insert(value.name).second) continue;
    if (!why.empty()) {
      policy.refused.push_back(Shown(value) + " (" + value.where + ") ignored: " + why);
      continue;
    }
    Apply(policy, value);
  }
  return policy;
}

std::string MachinePolicy::InForce() const {
  std::string text;
  const auto add = [&text](const char* name, const std::string& shown) {
    text += (text.empty() ? "" : ", ") + std::string(name) + "=" + shown;
  };
  const auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
  if (updates_enabled) add("UpdatesEnabled", flag(*updates_enabled));
  if (check_interval_hours) add("CheckIntervalHours", std::to_string(*check_interval_hours));
  if (channel) add("Channel", *channel);
  if (target_version_prefix) add("TargetVersionPrefix", *target_version_prefix);
  if (rollback_to_target) add("RollbackToTarget", flag(*rollback_to_target));
  if (delta_updates) add("DeltaUpdates", flag(*delta_updates));
  if (metered_downloads) add("MeteredDownloads", flag(*metered_downloads));
  return text;
}

}  // namespace solvane
