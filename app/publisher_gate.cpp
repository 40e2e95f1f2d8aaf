#include "app/publisher_gate.h"

#include "log/activity_log.h"
#include "platform/publisher_check.h"
#include "release/signed_members.h"

namespace solvane {
namespace {

PublisherRule RuleFor(const ReleaseSource& source, const std::vector<std::string>& manifest_pins) {
  PublisherRule rule = PublisherRuleFrom(source.publisher_names, source.publisher_pins);
  if (!rule.pins.empty())
    rule.pins.insert(rule.pins.end(), manifest_pins.begin(), manifest_pins.end());
  return rule;
}

}  // namespace

PublisherRefusal CheckInstallerPublisher(HeldFile& file, const std::string& path,
                                         const ReleaseSource& source,
                                         const std::vector<std::string>& manifest_pins,
                                         const char* word, const std::string& version) {
  const PublisherRule rule = RuleFor(source, manifest_pins);
  const PublisherVerdict verdict = CheckPublisher(file, path, rule);
  switch (verdict.kind) {
    case PublisherVerdictKind::kNotChecked:
      return {};
    case PublisherVerdictKind::kAccepted:
      if (verdict.revocation_unchecked) {
        LogMessage(
            "%s: the signature of %s was accepted without a revocation check (its servers "
            "could not be reached)",
            word, version.c_str());
      }
      return {};
    case PublisherVerdictKind::kRefused:
      break;
  }
  return {PublisherNamesText(rule), verdict.reason};
}

PublisherRefusal CheckInstallerPublisherAt(const std::string& path, const ReleaseSource& source,
                                           const std::vector<std::string>& manifest_pins,
                                           const char* word, const std::string& version) {
  const PublisherRule rule = RuleFor(source, manifest_pins);
  if (rule.names.empty()) return {};
  std::string error;
  const HeldFileHandle held = HoldFile(path, &error);
  if (!held) return {PublisherNamesText(rule), "cannot open it: " + error};
  return CheckInstallerPublisher(*held, path, source, manifest_pins, word, version);
}

std::vector<std::string> ManifestPinsFor(const ReleaseSource& source,
                                         const ManifestDocument& manifest) {
  if (source.public_keys.empty()) return {};
  return ManifestPublisherPins(manifest);
}

}  // namespace solvane
