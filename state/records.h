// Typed access to the records the workflows keep in the state document.
// Content of the wrong JSON type reads as absent, never as an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "state/state_file.h"

namespace solvane {

// An installer downloaded and verified by the update check, waiting to run.
struct StagedRecord {
  std::string version;
  std::string installer;  // UTF-8 text of the path
  std::string sha256;
  std::string notes;
  std::string date;  // UTC, YYYY-MM-DD
  // The vendor marked the release critical: the product may insist on
  // applying it. Written only when true; anything but true reads as false.
  bool critical = false;
  // Publisher key pins the signed manifest added when it was staged; written
  // only when there are any.
  std::vector<std::string> publisher_pins = {};
  // The release is older than the installed one (a rollback the vendor or
  // the administrator ordered): the product's installer must allow it.
  // Written only when true, like `critical`.
  bool downgrade = false;
};

// An installer download that stopped part-way, kept under `partial` so that a
// later run can resume it. Older programs ignore the member.
struct PartialRecord {
  std::string url;
  std::string sha256;  // the release's digest ("" for an unverified release)
  std::string file;    // UTF-8 text of the path of the bytes held
  std::int64_t bytes = 0;
  std::string validator;  // the server's ETag, else its Last-Modified
};

// An installer that was started, kept on record until its file is removed.
struct LaunchedRecord {
  std::string installer;  // UTF-8 text of the path
  std::int64_t time = 0;  // when it was started, seconds since the Unix epoch
};

// The installer kept as the base of delta updates (`base`): the last one
// this program verified and started, with its digest.
struct BaseRecord {
  std::string version;
  std::string installer;  // UTF-8 text of the path
  std::string sha256;
  std::int64_t time = 0;  // when it was started, seconds since the Unix epoch
};

// The validators of the kept manifest and signature (`kept_manifest`): what
// the server sent with them, its ETag else its Last-Modified ("" for none).
struct KeptManifestRecord {
  std::string etag;
  std::string last_modified;
  std::string signature_etag;
  std::string signature_last_modified;
};

// The key set this installation trusts beyond the build's own, as
// release/key_chain writes it, with the release key ids (KeyIdText) of the
// sets it replaced. This layer reads only the set's version, which orders
// the trust floor.
struct KeySetRecord {
  Json key_set;
  std::vector<std::string> retired_key_ids;

  bool operator==(const KeySetRecord&) const = default;
};

// A newer release the vendor announced but the updater does not install
// (`available`): the product may show it and point the user at `url`.
struct AvailableRecord {
  std::string version;
  std::string notes;
  std::string url;  // "" when the vendor named no page

  bool operator==(const AvailableRecord&) const = default;
};

// `last_check` in whole seconds: 0 when absent, not a number or outside the
// signed 64-bit range; a fraction is truncated toward zero.
std::int64_t ReadLastCheck(const Json& state);

// `manifest_serial`, the highest signed manifest serial accepted so far: 0
// when absent or not a whole number in the signed 64-bit range.
std::int64_t ReadManifestSerial(const Json& state);

// `key_set` and `retired_key_ids`: nullopt unless `key_set` is an object
// with an integer `version` of at least 2. Retired ids that are not strings
// read as absent.
[[nodiscard]] std::optional<KeySetRecord> ReadKeySet(const Json& state);

// The version of a key set on record; 1, the build's own, without one.
std::int64_t KeySetVersionOf(const std::optional<KeySetRecord>& record);

// The `staged` record, or nullopt unless it is an object whose members of
// the record are strings (missing members read as "").
[[nodiscard]] std::optional<StagedRecord> ReadStaged(const Json& state);

// Release notes are stored at most this long: the manifest may carry
// megabytes, and every run of the program reads the state file whole.
inline constexpr std::size_t kMaxNotesBytes = 64 * 1024;

// `notes` cut to kMaxNotesBytes at a UTF-8 character boundary.
std::string CapNotes(const std::string& notes);

// The `staged` object for a record, its notes capped.
Json StagedJson(const StagedRecord& record);

// The `partial` record, or nullopt unless it is an object with string `url`,
// `sha256`, `file` and `validator` and a non-negative integer `bytes`. A
// validator IsUsableValidator refuses reads as "" (nothing to resume with).
[[nodiscard]] std::optional<PartialRecord> ReadPartial(const Json& state);

// The `partial` object for a record.
Json PartialJson(const PartialRecord& record);

// The entries of the `launched` array that are objects with a string
// `installer` and an integer `time`; anything else reads as absent.
std::vector<LaunchedRecord> ReadLaunched(const Json& state);

// Replaces the `launched` array with `records`, or removes it when empty.
void WriteLaunched(Json& state, const std::vector<LaunchedRecord>& records);

// The `release_notes` object: exactly `version` and `notes` (capped).
Json ReleaseNotesJson(const std::string& version, const std::string& notes);

// `rollout_draw`, this installation's place in every staged rollout: an
// integer from 0 to 2^32 - 1 drawn once and never sent anywhere. nullopt
// when absent or anything else.
std::optional<std::uint32_t> ReadRolloutDraw(const Json& state);

// The stored draw, or a fresh one from `draw` written into `state` (the
// caller saves it) with `*drawn` set. A stored value that is not such an
// integer was never a draw of this program's: it is replaced, as a lost
// state file would be, since no sound value can be read out of it.
std::uint32_t KeepRolloutDraw(Json& state, std::uint32_t (*draw)(), bool* drawn = nullptr);

// Sets `rollout_draw` unless a sound one is on record: a draw is never replaced.
void KeepRolloutDraw(Json& state, std::uint32_t draw);

// The writers below change one record of an object `state` in memory; the
// caller saves it.

// Sets `last_check` to `now`.
void WriteLastCheck(Json& state, std::int64_t now);

// Records `serial` as `manifest_serial` when it is higher than the one on
// record: the serial only ever rises, so an older signed manifest replayed
// later is refused. True when the record changed.
bool RaiseManifestSerial(Json& state, std::int64_t serial);

// Moves to a later key set: `key_set` and `retired_key_ids` replaced, and
// `manifest_serial` set to `serial_floor`, lower or not, since each key set
// counts serials from its own floor.
void WriteKeySet(Json& state, const KeySetRecord& record, std::int64_t serial_floor);

// Sets the `staged` record, its notes capped.
void WriteStaged(Json& state, const StagedRecord& record);

// Sets the `release_notes` record (notes capped).
void WriteReleaseNotes(Json& state, const std::string& version, const std::string& notes);

// Sets the `partial` record.
void WritePartial(Json& state, const PartialRecord& record);

// Remove the `staged` or the `partial` record; true when there was one.
bool DropStaged(Json& state);
bool DropPartial(Json& state);

// The `kept_manifest` record, or nullopt unless it is an object whose four
// members are strings (missing members, and values IsUsableValidator
// refuses, read as "").
[[nodiscard]] std::optional<KeptManifestRecord> ReadKeptManifest(const Json& state);
void WriteKeptManifest(Json& state, const KeptManifestRecord& record);
bool DropKeptManifest(Json& state);

// The `base` record, or nullopt unless it is an object with string
// `version`, `installer` and `sha256` and an integer `time`.
[[nodiscard]] std::optional<BaseRecord> ReadBase(const Json& state);
void WriteBase(Json& state, const BaseRecord& record);

// `withdrawn`: the versions newer than the installed one that the newest
// manifest a check accepted withdrew, so that a check whose download was
// under way meanwhile does not stage one of them. Entries that are not
// strings read as absent.
std::vector<std::string> ReadWithdrawn(const Json& state);

// At most this many versions are kept, the newest.
inline constexpr std::size_t kMaxWithdrawnVersions = 32;

// Replaces `withdrawn` with `versions`, given newest first (removed when
// empty): only those of printable ASCII and at most 64 bytes, the first
// kMaxWithdrawnVersions.
void WriteWithdrawn(Json& state, std::vector<std::string> versions);

// The `available` record, or nullopt unless it is an object whose three
// members are strings.
[[nodiscard]] std::optional<AvailableRecord> ReadAvailable(const Json& state);

// Sets `available`, or removes it for nullopt. The version must be printable
// ASCII of at most 64 bytes and the url of at most 2 KiB, else the record is
// removed; notes are capped. True when the record changed.
bool WriteAvailable(Json& state, const std::optional<AvailableRecord>& record);

// `check_hold_until`, the time a server asked checks to wait until, in
// seconds since the Unix epoch: 0 when absent or not a whole number.
std::int64_t ReadCheckHold(const Json& state);
// Sets `check_hold_until`, or removes it for 0. True when the record changed.
bool WriteCheckHold(Json& state, std::int64_t until);

}  // namespace solvane
