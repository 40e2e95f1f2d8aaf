// Key sets: which release keys may sign the manifest, and which root keys,
// with how many of them needed, may vouch for the next key set. Set 1 is the
// build's own; set N (N >= 2) is published as keys/<N>.json, with its
// signatures, one or more minisign signature files one after another, in
// keys/<N>.json.minisig. Set N is taken only from set N-1, and only when a
// threshold of set N-1's root keys and a threshold of its own signed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/untrusted_json.h"
#include "release/signature.h"

namespace solvane {

// Largest key set file and signature file taken; a real one is a few kilobytes.
inline constexpr std::size_t kKeySetFileCap = 64 * 1024;
// Most keys of either kind in one key set, and most signatures over one.
inline constexpr std::size_t kMaxKeySetKeys = 16;
inline constexpr std::size_t kMaxKeySetSignatures = 32;
// Most release key ids of replaced key sets remembered, the latest.
inline constexpr std::size_t kMaxRetiredKeyIds = 64;

struct KeySet {
  std::int64_t version = 1;
  std::vector<PublicKey> release_keys;
  std::vector<PublicKey> root_keys;  // none: this set can never be replaced
  std::int64_t root_threshold = 0;
  // The manifest serial this set counts from: accepting it sets the floor here.
  std::int64_t serial_floor = 0;
};

// The build's key set (version 1) from its ';'-separated key lists, or
// nullopt when a key is malformed, a key id repeats, root keys come without
// release keys, or the threshold is outside 1 to the number of root keys
// (0 without root keys).
[[nodiscard]] std::optional<KeySet> BuildKeySet(std::string_view release_keys,
                                                std::string_view root_keys,
                                                std::int64_t root_threshold);

// A key set from its JSON object: integer `version` of at least 1, 1 to
// kMaxKeySetKeys `release_keys` and `root_keys` (minisign public key lines,
// no key id twice in either list or both), `root_threshold` from 1 to the
// number of root keys, `serial_floor` of at least 0. Other members are
// ignored. nullopt for anything else.
[[nodiscard]] std::optional<KeySet> KeySetFromJson(const Json& document);

// The JSON object KeySetFromJson reads.
Json KeySetJson(const KeySet& set);

// What became of a published key set offered as the next one.
enum class KeySetCheck {
  kAccepted,
  kTooLarge,            // the file or its signatures are over kKeySetFileCap
  kMalformed,           // not a key set, or its signatures are not signature files
  kNotNext,             // its version is not the current one plus one
  kTooFewCurrentRoots,  // fewer of the current root keys signed it than their threshold
  kTooFewOwnRoots,      // fewer of its own root keys signed it than its threshold
  kNoCrypto,
};

// Checks keys/<N>.json's text and its signatures against `current`: the
// accepted set, or nullopt with the reason. Each signature counts once per
// distinct root key that made it; a key in both sets counts for both.
[[nodiscard]] std::optional<KeySet> AcceptNextKeySet(const KeySet& current, std::string_view text,
                                                     std::string_view signatures,
                                                     KeySetCheck& result);

// Short fixed text for a result ("too few signatures of the current root keys", ...).
const char* KeySetCheckText(KeySetCheck result);

// The signature files one after another in `text` (blank lines between them
// allowed), each as four lines; nullopt when the lines do not make whole
// files or there are more than kMaxKeySetSignatures.
[[nodiscard]] std::optional<std::vector<std::string>> SplitSignatureFiles(std::string_view text);

// The key id a signature file names, or nullopt when it is not one.
[[nodiscard]] std::optional<KeyId> SignatureKeyId(std::string_view signature_text);

// Whether `keys` holds a key with `id`.
bool HoldsKeyId(const std::vector<PublicKey>& keys, const KeyId& id);

// The retired release key ids after `next` replaces `previous`: `retired`
// and the release keys of `previous` that `next` does not hold, without
// those it does, the latest kMaxRetiredKeyIds.
std::vector<KeyId> RetireReplacedKeys(std::vector<KeyId> retired, const KeySet& previous,
                                      const KeySet& next);

// The release key ids of a set as the log shows them: "8A3F...21, 77C0...9E".
std::string ReleaseKeyIdsText(const KeySet& set);

// The id KeyIdText wrote (16 hexadecimal digits), or nullopt for other text.
[[nodiscard]] std::optional<KeyId> ParseKeyIdText(std::string_view text);

}  // namespace solvane
