#include "app/key_chain_walk.h"

#include <algorithm>
#include <string>

#include "app/transfer_report.h"
#include "log/activity_log.h"
#include "net/transfer.h"
#include "state/records.h"

namespace solvane {
namespace {

// Where the key sets are published, below the release base URL.
constexpr const char kKeySetFolder[] = "keys/";

KeySetRecord RecordOf(const TrustedKeys& keys) {
  KeySetRecord record{KeySetJson(keys.current), {}};
  for (const KeyId& id : keys.retired) record.retired_key_ids.push_back(KeyIdText(id));
  return record;
}

TransferOutcome FetchKeySetFile(const std::string& url, std::string& body) {
  TransferTuning tuning;
  tuning.body_cap = kKeySetFileCap;
  const TransferOutcome outcome = FetchToMemory(url, body, tuning);
  LogRoute(outcome);
  LogFetchFailure(url, outcome);
  return outcome;
}

// Fetches and judges the key set after `keys.current`, logging what became
// of it; true when it was accepted, `keys` moved to it and the run's state
// with it.
bool TakeNextKeySet(UpdatesRun& run, const ReleaseSource& source, TrustedKeys& keys) {
  const long long version = keys.current.version + 1;
  const char* word = run.log_word.c_str();
  const std::string file = kKeySetFolder + std::to_string(version) + ".json";
  std::string text, signatures;
  TransferOutcome outcome = FetchKeySetFile(source.base_url + file, text);
  if (outcome.http_status == 404) {
    // The current set is the newest published.
    LogMessage("%s: no key set %lld on the server", word, version);
    return false;
  }
  if (outcome.ok()) outcome = FetchKeySetFile(source.base_url + file + ".minisig", signatures);
  if (!outcome.ok() && outcome.kind != OutcomeKind::kTooLarge) {
    LogMessage("%s: key set %lld not fetched: %s", word, version, FailureReason(outcome).c_str());
    return false;
  }
  KeySetCheck check = KeySetCheck::kTooLarge;
  std::optional<KeySet> next;
  if (outcome.ok()) next = AcceptNextKeySet(keys.current, text, signatures, check);
  if (!next) {
    LogMessage("%s: key set %lld refused: %s", word, version, KeySetCheckText(check));
    return false;
  }
  keys.retired = RetireReplacedKeys(std::move(keys.retired), keys.current, *next);
  keys.current = std::move(*next);
  // Kept at once: a run that stops further on keeps what it accepted.
  WriteKeySet(run.state, RecordOf(keys), keys.current.serial_floor);
  const bool saved = SaveRun(run);
  LogMessage("%s: key set %lld accepted (release keys %s; serials from %lld)%s", word, version,
             ReleaseKeyIdsText(keys.current).c_str(),
             static_cast<long long>(keys.current.serial_floor),
             saved ? "" : "; the state file cannot be written, trusted for this run only");
  return true;
}

}  // namespace

std::optional<TrustedKeys> TrustedKeysOf(const ReleaseSource& source, const Json& state,
                                         const std::string& log_word) {
  std::optional<KeySet> build =
      BuildKeySet(source.public_keys, source.root_keys, source.root_threshold);
  if (!build) return std::nullopt;
  TrustedKeys keys{std::move(*build), {}};
  // Only a build with root keys ever moves past its own set.
  const std::optional<KeySetRecord> record =
      keys.current.root_keys.empty() ? std::nullopt : ReadKeySet(state);
  if (!record) return keys;
  std::optional<KeySet> kept = KeySetFromJson(record->key_set);
  if (!kept) {
    LogMessage("%s: the kept key set does not read; trusting the build's keys", log_word.c_str());
    return keys;
  }
  keys.current = std::move(*kept);
  for (const std::string& text : record->retired_key_ids) {
    if (const std::optional<KeyId> id = ParseKeyIdText(text)) keys.retired.push_back(*id);
  }
  return keys;
}

bool FollowKeyChain(UpdatesRun& run, const ReleaseSource& source, TrustedKeys& keys,
                    std::string_view signature) {
  const std::optional<KeyId> wanted = SignatureKeyId(signature);
  if (!wanted || keys.current.root_keys.empty() || HoldsKeyId(keys.current.release_keys, *wanted) ||
      SignedByRetiredKey(keys, signature)) {
    return false;
  }
  int accepted = 0;
  while (!HoldsKeyId(keys.current.release_keys, *wanted)) {
    if (accepted == kMaxKeySetsPerRun) {
      LogMessage("%s: %d key sets accepted in this run; the next run goes on", run.log_word.c_str(),
                 kMaxKeySetsPerRun);
      break;
    }
    if (!TakeNextKeySet(run, source, keys)) break;
    ++accepted;
  }
  return accepted > 0;
}

bool SignedByRetiredKey(const TrustedKeys& keys, std::string_view signature) {
  const std::optional<KeyId> id = SignatureKeyId(signature);
  return id && std::find(keys.retired.begin(), keys.retired.end(), *id) != keys.retired.end();
}

}  // namespace solvane
