#include "release/key_chain.h"

#include <algorithm>

namespace solvane {
namespace {

// A key set is two levels deep; anything much deeper was not written as one.
constexpr int kKeySetNesting = 8;

// The keys of one list: an array of 1 to kMaxKeySetKeys public key lines.
std::optional<std::vector<PublicKey>> KeyList(const Json& value) {
  if (!value.is_array() || value.empty() || value.size() > kMaxKeySetKeys) return std::nullopt;
  std::vector<PublicKey> keys;
  for (const Json& line : value) {
    if (!line.is_string()) return std::nullopt;
    const std::optional<PublicKey> key = ParsePublicKey(line.get_ref<const std::string&>());
    if (!key) return std::nullopt;
    keys.push_back(*key);
  }
  return keys;
}

// A key id names one key only: a release key is never also a root key.
bool DistinctKeyIds(const KeySet& set) {
  std::vector<KeyId> seen;
  for (const std::vector<PublicKey>* list : {&set.release_keys, &set.root_keys}) {
    for (const PublicKey& key : *list) {
      if (std::find(seen.begin(), seen.end(), key.key_id) != seen.end()) return false;
      seen.push_back(key.key_id);
    }
  }
  return true;
}

bool SoundThreshold(const KeySet& set) {
  return set.root_keys.empty()
             ? set.root_threshold == 0
             : set.root_threshold >= 1 &&
                   set.root_threshold <= static_cast<std::int64_t>(set.root_keys.size());
}

// How many distinct keys of `keys` made a valid signature of `message`.
std::int64_t SignersAmong(std::string_view message, const std::vector<std::string>& signatures,
                          const std::vector<PublicKey>& keys) {
  std::vector<KeyId> signers;
  for (const std::string& signature : signatures) {
    const std::optional<KeyId> id = SignatureKeyId(signature);
    if (!id || std::find(signers.begin(), signers.end(), *id) != signers.end()) continue;
    if (CheckSignature(message, signature, keys) == SignatureCheck::kValid) signers.push_back(*id);
  }
  return static_cast<std::int64_t>(signers.size());
}

KeySetCheck JudgeNextKeySet(const KeySet& current, std::string_view text,
                            std::string_view signatures, std::optional<KeySet>& next) {
  if (text.size() > kKeySetFileCap || signatures.size() > kKeySetFileCap) {
    return KeySetCheck::kTooLarge;
  }
  if (!CryptoReady()) return KeySetCheck::kNoCrypto;
  if (NestsDeeperThan(text, kKeySetNesting)) return KeySetCheck::kMalformed;
  try {
    next = KeySetFromJson(Json::parse(text));
  } catch (const Json::exception&) {
    return KeySetCheck::kMalformed;
  }
  const std::optional<std::vector<std::string>> files = SplitSignatureFiles(signatures);
  if (!next || !files) return KeySetCheck::kMalformed;
  if (next->version != current.version + 1) return KeySetCheck::kNotNext;
  // A set without root keys can vouch for no successor.
  if (current.root_keys.empty() ||
      SignersAmong(text, *files, current.root_keys) < current.root_threshold) {
    return KeySetCheck::kTooFewCurrentRoots;
  }
  if (SignersAmong(text, *files, next->root_keys) < next->root_threshold) {
    return KeySetCheck::kTooFewOwnRoots;
  }
  return KeySetCheck::kAccepted;
}

}  // namespace

std::optional<KeySet> BuildKeySet(std::string_view release_keys, std::string_view root_keys,
                                  std::int64_t root_threshold) {
  std::optional<std::vector<PublicKey>> release = ParsePublicKeyList(release_keys);
  std::optional<std::vector<PublicKey>> root = ParsePublicKeyList(root_keys);
  if (!release || !root || (release->empty() && !root->empty())) return std::nullopt;
  KeySet set{1, std::move(*release), std::move(*root), root_threshold, 0};
  if (!SoundThreshold(set) || !DistinctKeyIds(set)) return std::nullopt;
  return set;
}

std::optional<KeySet> KeySetFromJson(const Json& document) {
  if (!document.is_object()) return std::nullopt;
  const std::optional<std::int64_t> version = JsonInt64(document.value("version", Json()));
  const std::optional<std::int64_t> threshold = JsonInt64(document.value("root_threshold", Json()));
  const std::optional<std::int64_t> floor = JsonInt64(document.value("serial_floor", Json()));
  std::optional<std::vector<PublicKey>> release = KeyList(document.value("release_keys", Json()));
  std::optional<std::vector<PublicKey>> root = KeyList(document.value("root_keys", Json()));
  // The highest version could have no successor to count to.
  if (!version || *version < 1 || *version == INT64_MAX || !threshold || !floor || *floor < 0 ||
      !release || !root) {
    return std::nullopt;
  }
  KeySet set{*version, std::move(*release), std::move(*root), *threshold, *floor};
  if (!SoundThreshold(set) || !DistinctKeyIds(set)) return std::nullopt;
  return set;
}

Json KeySetJson(const KeySet& set) {
  const auto lines = [](const std::vector<PublicKey>& keys) {
    Json list = Json::array();
    for (const PublicKey& key : keys) list.push_back(PublicKeyText(key));
    return list;
  };
  return Json{{"version", set.version},
              {"release_keys", lines(set.release_keys)},
              {"root_keys", lines(set.root_keys)},
              {"root_threshold", set.root_threshold},
              {"serial_floor", set.serial_floor}};
}

std::optional<KeySet> AcceptNextKeySet(const KeySet& current, std::string_view text,
                                       std::string_view signatures, KeySetCheck& result) {
  std::optional<KeySet> next;
  result = JudgeNextKeySet(current, text, signatures, next);
  if (result != KeySetCheck::kAccepted) return std::nullopt;
  return next;
}

const char* KeySetCheckText(KeySetCheck result) {
  switch (result) {
    case KeySetCheck::kAccepted:
      return "accepted";
    case KeySetCheck::kTooLarge:
      return "too large";
    case KeySetCheck::kMalformed:
      return "malformed";
    case KeySetCheck::kNotNext:
      return "not the next key set";
    case KeySetCheck::kTooFewCurrentRoots:
      return "too few signatures of the current root keys";
    case KeySetCheck::kTooFewOwnRoots:
      return "too few signatures of its own root keys";
    case KeySetCheck::kNoCrypto:
      break;
  }
  return "no crypto";
}

std::optional<std::vector<std::string>> SplitSignatureFiles(std::string_view text) {
  std::vector<std::string> files;
  std::string file;
  int lines = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() && lines == 0) continue;
    file.append(line).append("\n");
    if (++lines < 4) continue;
    if (files.size() == kMaxKeySetSignatures) return std::nullopt;
    files.push_back(std::move(file));
    file.clear();
    lines = 0;
  }
  if (lines != 0 || files.empty()) return std::nullopt;
  return files;
}

std::optional<KeyId> SignatureKeyId(std::string_view signature_text) {
  const std::optional<SignatureFile> file = ParseSignatureFile(signature_text);
  if (!file) return std::nullopt;
  return file->key_id;
}

bool HoldsKeyId(const std::vector<PublicKey>& keys, const KeyId& id) {
  return std::any_of(keys.begin(), keys.end(),
                     [&id](const PublicKey& key) { return key.key_id == id; });
}

std::vector<KeyId> RetireReplacedKeys(std::vector<KeyId> retired, const KeySet& previous,
                                      const KeySet& next) {
  for (const PublicKey& key : previous.release_keys) {
    if (std::find(retired.begin(), retired.end(), key.key_id) == retired.end()) {
      retired.push_back(key.key_id);
    }
  }
  // A key the next set holds again is trusted again.
  std::erase_if(retired, [&next](const KeyId& id) { return HoldsKeyId(next.release_keys, id); });
  if (retired.size() > kMaxRetiredKeyIds) {
    retired.erase(retired.begin(), retired.end() - kMaxRetiredKeyIds);
  }
  return retired;
}

std::string ReleaseKeyIdsText(const KeySet& set) {
  std::string text;
  for (const PublicKey& key : set.release_keys) {
    text += (text.empty() ? "" : ", ") + KeyIdText(key.key_id);
  }
  return text;
}

std::optional<KeyId> ParseKeyIdText(std::string_view text) {
  KeyId id{};
  if (text.size() != 2 * id.size()) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    if (digit < 0) return std::nullopt;
    // KeyIdText writes the last byte first.
    std::uint8_t& byte = id[id.size() - 1 - i / 2];
    byte = static_cast<std::uint8_t>(i % 2 == 0 ? digit << 4 : byte | digit);
  }
  return id;
}

}  // namespace solvane
