#include "app/check_decision.h"

#include "release/manifest.h"

namespace solvane {

CheckDecision DecideCheck(const CheckFacts& facts) {
  CheckDecision decision;
  if (!facts.fetched) {
    decision.verdict = CheckVerdict::kFetchFailed;
    return decision;
  }
  if (facts.offer != ReleaseChoice::Outcome::kUnusable) {
    decision.update_available = true;
    // An announcement of what the user already has is no news.
    if (facts.available && CompareVersions(facts.available->version, facts.installed) > 0) {
      decision.available =
          AvailableRecord{facts.available->version, facts.available->notes, facts.available->url};
    }
  }
  switch (facts.offer) {
    case ReleaseChoice::Outcome::kUnusable:
      decision.verdict = CheckVerdict::kUnusable;
      return decision;
    case ReleaseChoice::Outcome::kHeldBack:
      decision.verdict = CheckVerdict::kNothingOffered;
      decision.drop_partials = true;
      return decision;
    case ReleaseChoice::Outcome::kNoRelease:
      decision.verdict = CheckVerdict::kNoRelease;
      return decision;
    case ReleaseChoice::Outcome::kFound:
      break;
  }
  const std::optional<StagedRecord>& staged = facts.staged;
  // A build with keys trusts only what a signed manifest vouches for: a
  // record without a digest, or with another digest for the same version
  // (staged by a build without keys), is downloaded again.
  decision.drop_staged =
      staged && facts.signed_build &&
      (staged->sha256.empty() ||
       (CompareVersions(facts.version, staged->version) == 0 && staged->sha256 != facts.sha256));
  const bool kept = staged && !decision.drop_staged;
  if (kept && CompareVersions(facts.version, staged->version) == 0) {
    decision.verdict = CheckVerdict::kAlreadyStaged;
    decision.drop_partials = true;
    decision.mark_critical = staged->critical != facts.critical;
    decision.mark_downgrade = staged->downgrade != facts.downgrade;
    return decision;
  }
  if (facts.downgrade) {
    decision.verdict = CheckVerdict::kDowngrade;
    return decision;
  }
  // What the user gets by applying: the staged release when it is newer.
  const std::string& baseline = kept && CompareVersions(staged->version, facts.installed) > 0
                                    ? staged->version
                                    : facts.installed;
  if (CompareVersions(facts.version, baseline) > 0) {
    decision.verdict = CheckVerdict::kUpdateAvailable;
    return decision;
  }
  // Nothing newer is wanted, so neither is a partial download of anything.
  decision.verdict = CheckVerdict::kUpToDate;
  decision.drop_partials = true;
  return decision;
}

}  // namespace solvane
