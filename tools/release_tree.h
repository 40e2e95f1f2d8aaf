// A release tree for a static web host: manifest.json at its root and each
// installer under <platform>/<version>/<file name>.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace solvane::publish {

struct AddRequest {
  std::string root;
  std::string base_url;  // where the root is served; ends in '/'
  std::string platform;
  std::string version;
  std::string notes;
  std::string installer;  // path of the file to publish
  bool make_stable = true;
  std::string channel;  // not "": the version becomes this channel's, not stable's
  bool replace = false;
  // Each set in the entry when not "": the lowest system version it runs on,
  // the page announcing it (the updater then never installs it), and the
  // lowest installed version it updates.
  std::string min_os;
  std::string informational;
  std::string min_autoupdate;
  int valid_days = 90;  // the changed manifest's `expires` is now + this
  // Earlier installers to publish a delta patch from, each written beside the
  // installer and listed under the entry's `deltas`.
  std::vector<std::string> delta_from = {};
};

// Outcome of an operation: `code` 0 on success, 1 when the tree is broken or
// could not be written, 2 when the request was refused (nothing changed).
struct Outcome {
  int code = 0;
  std::vector<std::string> messages;
  std::vector<std::string> listing = {};  // what verify shows of each release, problems or not
};

// The whole file at `path`, or nullopt when it cannot be read.
std::optional<std::string> ReadText(const std::filesystem::path& path);

// Copies the installer into the tree, records its release entry and (unless
// told otherwise) makes it the stable version of its platform. A patch from
// each `delta_from` is made beside it and listed in the entry (replacing one
// from the same base; a new installer for the version drops the old ones). When that
// changes the manifest, its `serial` is raised, `expires` set to now +
// valid_days, and a signature beside it removed (it no longer matches). The
// manifest is replaced atomically and checked with the client's own parser.
Outcome AddRelease(const AddRequest& request);

// A change to one published release's entry.
struct ReleaseChange {
  enum class Kind {
    kRolloutPercent,  // a fixed share: `percent`
    kRolloutDays,     // a share growing from `start` over `days`
    kRolloutPause,    // a growing share frozen at today's value
    kRolloutFull,     // no rollout member: every client
    kWithdraw,
    kRestore,  // undoes kWithdraw
    kCritical,
    kNotCritical,
  };
  std::string root;
  std::string platform;
  std::string version;
  Kind kind = Kind::kRolloutFull;
  double percent = 100;
  double days = 0;
  std::string start;  // "YYYY-MM-DDTHH:MM:SSZ"; "" for now
  // kWithdraw: the earlier release its installations are taken back to; ""
  // for none (and no earlier rollback_to is kept).
  std::string rollback_to;
  int valid_days = 90;
};

// Applies `change` to the release entry. When the manifest changes, its
// serial is raised and its expiry renewed, and the signature that no longer
// matches is removed, as AddRelease does.
Outcome ChangeRelease(const ReleaseChange& change);

// Raises `serial` and renews `expires` without other changes, removing the
// signature that no longer matches, ready to be signed again.
Outcome RefreshManifest(const std::string& root, int valid_days);

// Signs manifest.json into manifest.json.minisig with the minisign secret key
// in `secret_key_file`, once the manifest carries a sound serial and expiry.
// The password comes from kPasswordVariable or, failing that, the terminal.
Outcome SignManifest(const std::string& root, const std::string& secret_key_file);

// Checks that every release entry's file is in the tree and matches its
// digest, and that every stable version has an entry with a url. Each listed
// delta patch must match its size and digest and, applied to the installer in
// the tree with its `from_sha256`, give the release's installer; when no such
// installer is in the tree, a warning says the patch was not checked. With a
// public key file, also that the manifest's signature verifies with it and
// that its serial and expiry are sound; fewer than 7 days left is a warning.
// With `publishers` (exact signer names), each Windows installer's
// Authenticode signature is read with osslsigncode, and one not signed by
// any of them gets a warning (not a problem: only Windows judges the chain).
Outcome VerifyTree(const std::string& root, const std::string& public_key_file = "",
                   const std::vector<std::string>& publishers = {});

}  // namespace solvane::publish
