#include "tools/key_sets.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/fs.h"
#include "tools/signing.h"

namespace solvane::publish {
namespace {

namespace fs = std::filesystem;

Outcome Refuse(std::string message) { return {2, {std::move(message)}}; }
Outcome Fail(std::string message) { return {1, {std::move(message)}}; }

fs::path KeySetPath(const std::string& root, std::int64_t version) {
  return fs::path(root) / "keys" / (std::to_string(version) + ".json");
}

std::string Described(const KeySet& set) {
  std::string roots;
  for (const PublicKey& key : set.root_keys) {
    roots += (roots.empty() ? "" : ", ") + KeyIdText(key.key_id);
  }
  return "release keys " + ReleaseKeyIdsText(set) + "; root keys " + roots + " (" +
         std::to_string(set.root_threshold) + " needed); serials from " +
         std::to_string(set.serial_floor);
}

// The tree's key set `version` as written, without judging its signatures.
std::optional<KeySet> ReadKeySetFile(const std::string& root, std::int64_t version) {
  const std::optional<std::string> text = ReadText(KeySetPath(root, version));
  if (!text || text->size() > kKeySetFileCap) return std::nullopt;
  const Json document = Json::parse(*text, nullptr, false);
  std::optional<KeySet> set = KeySetFromJson(document);
  if (!set || set->version != version) return std::nullopt;
  return set;
}

// The keys in .pub files, or nullopt with `problem` naming the first that is not one.
std::optional<std::vector<PublicKey>> ReadPublicKeys(const std::vector<std::string>& files,
                                                     std::string& problem) {
  std::vector<PublicKey> keys;
  for (const std::string& file : files) {
    const std::optional<std::string> text = ReadText(file);
    const std::optional<PublicKey> key = text ? ParsePublicKeyFile(*text) : std::nullopt;
    if (!key) {
      problem = file + " is not a minisign public key file";
      return std::nullopt;
    }
    keys.push_back(*key);
  }
  return keys;
}

// The serial a new key set counts from by default: just above the manifest's.
std::int64_t NextSerial(const std::string& root, std::int64_t otherwise) {
  const std::optional<std::string> text = ReadText(fs::path(root) / "manifest.json");
  const Json manifest = text ? Json::parse(*text, nullptr, false) : Json();
  const std::optional<std::int64_t> serial =
      manifest.is_object() ? JsonInt64(manifest.value("serial", Json())) : std::nullopt;
  return serial && *serial < INT64_MAX ? *serial + 1 : otherwise;
}

}  // namespace

Outcome RecordBuildKeySet(const std::string& root, const KeySet& build) {
  const fs::path path = KeySetPath(root, 1);
  if (fs::exists(path)) return Refuse(path.string() + " exists; not overwritten");
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (ec ||
      !WriteFileAtomically(path.string(), KeySetJson(build).dump(2) + "\n", FileForm::kBinary)) {
    return Fail("cannot write " + path.string());
  }
  return {0, {"key set 1 (the build's): " + Described(build)}};
}

Outcome RotateKeys(const KeyRotation& rotation) {
  std::int64_t newest = 1;
  while (fs::exists(KeySetPath(rotation.root, newest + 1))) ++newest;
  const std::optional<KeySet> current = ReadKeySetFile(rotation.root, newest);
  if (!current) {
    return Refuse(KeySetPath(rotation.root, newest).string() +
                  (newest == 1 ? " is missing or not a key set: run 'keys init-root' first"
                               : " is not a key set"));
  }
  KeySet next = *current;
  next.version = newest + 1;
  next.serial_floor = rotation.serial_floor.value_or(NextSerial(rotation.root, next.serial_floor));
  std::string problem;
  if (!rotation.release_key_files.empty()) {
    const auto keys = ReadPublicKeys(rotation.release_key_files, problem);
    if (!keys) return Refuse(problem);
    next.release_keys = *keys;
  }
  if (!rotation.root_key_files.empty()) {
    const auto keys = ReadPublicKeys(rotation.root_key_files, problem);
    if (!keys) return Refuse(problem);
    next.root_keys = *keys;
    next.root_threshold = rotation.root_threshold;
  }
  // Written as the client will read it: a set it would refuse is never signed.
  const std::string text = KeySetJson(next).dump(2) + "\n";
  if (!KeySetFromJson(Json::parse(text))) {
    return Refuse(
        "the new key set is not sound (1 to 16 keys of each kind, no key twice, a "
        "threshold from 1 to the number of root keys)");
  }
  std::string signatures;
  for (const std::string& file : rotation.signing_key_files) {
    const std::optional<SecretKey> key = LoadSecretKey(file, problem);
    if (!key) return Refuse(problem);
    if (!HoldsKeyId(current->root_keys, key->key_id) && !HoldsKeyId(next.root_keys, key->key_id)) {
      return Refuse(file + " is a root key of neither key set " + std::to_string(newest) + " nor " +
                    std::to_string(next.version));
    }
    signatures += SignMessage(text, std::to_string(next.version) + ".json", *key, UnixNow());
  }
  KeySetCheck check = KeySetCheck::kMalformed;
  if (!AcceptNextKeySet(*current, text, signatures, check)) {
    return Refuse(std::string("clients would refuse key set ") + std::to_string(next.version) +
                  ": " + KeySetCheckText(check));
  }
  const fs::path path = KeySetPath(rotation.root, next.version);
  if (!WriteFileAtomically(path.string() + ".minisig", signatures, FileForm::kBinary) ||
      !WriteFileAtomically(path.string(), text, FileForm::kBinary)) {
    return Fail("cannot write " + path.string());
  }
  return {0,
          {"key set " + std::to_string(next.version) + ": " + Described(next),
           "publish keys/" + std::to_string(next.version) +
               ".json and its .minisig before a "
               "manifest signed with a key it brings"}};
}

Outcome VerifyKeyChain(const std::string& root, const std::optional<KeySet>& first) {
  std::optional<KeySet> current = first ? first : ReadKeySetFile(root, 1);
  if (!current) return Fail(KeySetPath(root, 1).string() + " is missing or not a key set");
  Outcome outcome;
  outcome.listing.push_back("key set 1: " + Described(*current));
  for (std::int64_t version = 2; fs::exists(KeySetPath(root, version)); ++version) {
    const fs::path path = KeySetPath(root, version);
    const std::optional<std::string> text = ReadText(path);
    const std::optional<std::string> signatures = ReadText(path.string() + ".minisig");
    KeySetCheck check = KeySetCheck::kMalformed;
    std::optional<KeySet> next;
    if (text && signatures) next = AcceptNextKeySet(*current, *text, *signatures, check);
    if (!next) {
      return {1,
              {"key set " + std::to_string(version) +
               " refused: " + (signatures ? KeySetCheckText(check) : "no signatures")},
              outcome.listing};
    }
    current = std::move(next);
    outcome.listing.push_back("key set " + std::to_string(version) + ": " + Described(*current));
  }
  const std::optional<std::string> signature = ReadText(fs::path(root) / "manifest.json.minisig");
  const std::optional<KeyId> signer = signature ? SignatureKeyId(*signature) : std::nullopt;
  if (signer && !HoldsKeyId(current->release_keys, *signer)) {
    outcome = {1,
               {"manifest.json is signed by key " + KeyIdText(*signer) + ", which key set " +
                std::to_string(current->version) + " does not hold"},
               outcome.listing};
  }
  return outcome;
}

}  // namespace solvane::publish
