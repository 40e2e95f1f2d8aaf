// What the update check does once it has read the manifest, as a pure
// function of what it found: the check gathers the facts, decides, then acts
// and logs.
#pragma once

#include <optional>
#include <string>

#include "release/release_choice.h"
#include "state/records.h"

namespace solvane {

struct CheckFacts {
  bool fetched = false;  // the manifest arrived and its signature (if any) held
  // What the manifest offers this installation, when fetched.
  ReleaseChoice::Outcome offer = ReleaseChoice::Outcome::kNoRelease;
  std::string version;  // the offered release, when kFound
  std::string sha256;
  bool critical = false;
  // The staged record, once one whose file no longer verifies or whose
  // release was withdrawn is dropped.
  std::optional<StagedRecord> staged;
  std::string installed;      // the version the user has
  bool signed_build = false;  // the build carries release keys
  // The newest release announced but not offered, when newer than the offer.
  std::optional<AvailableRelease> available = {};
  // The offered release is older than the installed one and is to be staged
  // all the same.
  bool downgrade = false;
};

enum class CheckVerdict {
  kFetchFailed,
  kUnusable,         // the manifest cannot be read
  kNothingOffered,   // the current release is held back and no earlier one suits
  kNoRelease,        // the manifest names no release for the platform
  kAlreadyStaged,    // the offered release is the staged one
  kUpdateAvailable,  // stage the offered release
  kDowngrade,        // stage the offered release, older than the installed one
  kUpToDate,
};

struct CheckDecision {
  CheckVerdict verdict = CheckVerdict::kUpToDate;
  // The staged record is not what the signed manifest vouches for: dropped
  // before the verdict is acted on, which is reached without it.
  bool drop_staged = false;
  // Partial downloads are of nothing the check wants any more.
  bool drop_partials = false;
  // The staged record's `critical` becomes the offered release's.
  bool mark_critical = false;
  // ... and its `downgrade` whether the offer is one (a release staged as an
  // update that a rollback now orders, or the other way round).
  bool mark_downgrade = false;
  // The manifest was read: `available` replaces the record of that name
  // (nullopt removes it).
  bool update_available = false;
  std::optional<AvailableRecord> available;
};

[[nodiscard]] CheckDecision DecideCheck(const CheckFacts& facts);

}  // namespace solvane
