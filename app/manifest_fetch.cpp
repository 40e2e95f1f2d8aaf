#include "app/manifest_fetch.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "app/key_chain_walk.h"
#include "app/transfer_report.h"
#include "constants.h"
#include "log/activity_log.h"
#include "net/transfer.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "release/manifest.h"
#include "release/release_choice.h"
#include "release/signature.h"
#include "release/signed_members.h"

namespace solvane {
namespace {

// The whole file at `path` when it is at most `cap` bytes.
std::optional<std::string> ReadKeptFile(const std::string& path, std::size_t cap) {
  const UniqueFile file = OpenFile(path, "rb");
  if (!file) return std::nullopt;
  std::string text;
  char buffer[16 * 1024];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, n);
    if (text.size() > cap) return std::nullopt;
  }
  if (std::ferror(file.get())) return std::nullopt;
  return text;
}

// The kept copies and the validators to ask with, when every file the build
// checks is there to fall back on.
struct KeptCopy {
  std::string body;
  std::string signature;
  KeptManifestRecord record;
};

std::optional<KeptCopy> LoadKeptCopy(const KeptManifest* keeping, bool with_signature) {
  if (!keeping || keeping->folder.empty() || !keeping->record) return std::nullopt;
  if (keeping->record->etag.empty() && keeping->record->last_modified.empty()) return std::nullopt;
  KeptCopy copy;
  copy.record = *keeping->record;
  std::optional<std::string> body =
      ReadKeptFile(keeping->folder + kKeptManifestFileName, kManifestBodyCap);
  if (!body) return std::nullopt;
  copy.body = std::move(*body);
  if (with_signature) {
    std::optional<std::string> signature =
        ReadKeptFile(keeping->folder + kKeptSignatureFileName, kSignatureFileCap);
    if (!signature) return std::nullopt;
    copy.signature = std::move(*signature);
  }
  return copy;
}

void RemoveKeptFiles(const std::string& folder) {
  (void)RemovePath(folder + kKeptManifestFileName);
  (void)RemovePath(folder + kKeptSignatureFileName);
}

// Keeps an accepted manifest (and signature) for the next check's
// conditional request; the record, or nullopt when there is nothing to ask
// with or the files could not be written.
std::optional<KeptManifestRecord> KeepCopy(const std::string& folder, const std::string& body,
                                           const std::string* signature,
                                           const KeptManifestRecord& record) {
  const bool askable = !record.etag.empty() || !record.last_modified.empty();
  if (askable && WriteFileAtomically(folder + kKeptManifestFileName, body, FileForm::kBinary) &&
      (!signature ||
       WriteFileAtomically(folder + kKeptSignatureFileName, *signature, FileForm::kBinary))) {
    if (!signature) (void)RemovePath(folder + kKeptSignatureFileName);
    return record;
  }
  RemoveKeptFiles(folder);
  return std::nullopt;
}

// A server asking to be left alone answers 429 or 503 with a Retry-After.
std::int64_t RetryAfterOf(const TransferOutcome& outcome) {
  const bool busy = outcome.http_status == 429 || outcome.http_status == 503;
  return busy ? outcome.retry_after_seconds : 0;
}

// Logs what a manifest or signature transfer came to.
void ReportFetch(const std::string& url, const TransferOutcome& outcome) {
  LogRoute(outcome);
  LogFetchFailure(url, outcome);
  LogUnusableValidators(outcome);
}

// A cache that holds the manifest and its signature apart can pair a new
// manifest with the old signature (or the reverse) until its copies expire.
// Before a pair that fails its check is refused as tampered with, both are
// fetched again with every cache asked to check its copy with the server; a
// pair that arrives whole replaces the first. The check of the pair held
// afterwards.
SignatureCheck FetchBothAgain(const std::string& manifest_url, const std::string& signature_url,
                              const std::vector<PublicKey>& keys, SignatureCheck first,
                              FetchedManifest& manifest, std::string& signature,
                              TransferOutcome& signature_outcome) {
  TransferTuning revalidate;
  revalidate.revalidate = true;
  std::string body;
  TransferOutcome outcome = FetchToMemory(manifest_url, body, revalidate);
  ReportFetch(manifest_url, outcome);
  SignatureCheck check = first;
  bool again = false;
  if (outcome.ok()) {
    revalidate.body_cap = kSignatureFileCap;
    std::string signature_again;
    TransferOutcome signature_again_outcome =
        FetchToMemory(signature_url, signature_again, revalidate);
    ReportFetch(signature_url, signature_again_outcome);
    if (signature_again_outcome.ok()) {
      again = true;
      check = CheckSignature(body, signature_again, keys);
      manifest.body = std::move(body);
      manifest.outcome = std::move(outcome);
      signature = std::move(signature_again);
      signature_outcome = std::move(signature_again_outcome);
    }
  }
  LogMessage("FetchManifest: manifest and signature disagreed (%s); fetched both again: %s",
             SignatureCheckText(first),
             !again                            ? "they did not both arrive"
             : check == SignatureCheck::kValid ? "they agree"
                                               : "they still disagree");
  return check;
}

}  // namespace

FetchedManifest FetchReleaseManifest(const ReleaseSource& source, std::int64_t highest_serial,
                                     const std::string& channel, const KeptManifest* keeping,
                                     const std::vector<std::string>& held, UpdatesRun* run) {
  const bool signed_build = !source.public_keys.empty();
  const std::optional<KeptCopy> copy = LoadKeptCopy(keeping, signed_build);
  FetchedManifest manifest;
  // Unchanged unless this fetch decides otherwise; a record whose files are
  // gone is dropped.
  if (copy) manifest.kept = copy->record;

  const Validators have =
      copy ? Validators{copy->record.etag, copy->record.last_modified} : Validators{};
  manifest.outcome = FetchToMemory(source.ManifestUrl(), manifest.body, {}, have);
  ReportFetch(source.ManifestUrl(), manifest.outcome);
  manifest.retry_after_seconds = RetryAfterOf(manifest.outcome);
  if (copy && manifest.outcome.not_modified()) {
    manifest.body = copy->body;
    manifest.from_kept_copy = true;
  }
  manifest.fetched = manifest.outcome.ok() || manifest.from_kept_copy;
  if (!manifest.fetched) return manifest;
  // What a fresh manifest is kept with, once the transfer that brought it is settled.
  const auto fresh = [&manifest] {
    return KeptManifestRecord{manifest.outcome.validators.etag,
                              manifest.outcome.validators.last_modified, "", ""};
  };
  if (!signed_build) {
    manifest.document = ReadManifestDocument(manifest.body, source.platform_key, channel, held);
    if (keeping && !manifest.from_kept_copy) {
      manifest.kept = KeepCopy(keeping->folder, manifest.body, nullptr, fresh());
    }
    return manifest;
  }

  std::optional<TrustedKeys> trusted =
      TrustedKeysOf(source, run ? run->state : Json::object(), run ? run->log_word : "");
  if (!trusted || trusted->current.release_keys.empty()) {
    manifest.rejection = "no usable release key";
    return manifest;
  }
  TransferTuning small;
  small.body_cap = kSignatureFileCap;
  std::string signature;
  const std::string signature_url = source.ManifestUrl() + ".minisig";
  // A changed manifest comes with a changed signature: only the kept
  // manifest's signature is worth asking after.
  const Validators signature_have =
      manifest.from_kept_copy
          ? Validators{copy->record.signature_etag, copy->record.signature_last_modified}
          : Validators{};
  TransferOutcome signature_outcome =
      FetchToMemory(signature_url, signature, small, signature_have);
  ReportFetch(signature_url, signature_outcome);
  const bool signature_kept = !signature_have.empty() && signature_outcome.not_modified();
  if (signature_kept) signature = copy->signature;
  if (!signature_outcome.ok() && !signature_kept) {
    if (!manifest.retry_after_seconds)
      manifest.retry_after_seconds = RetryAfterOf(signature_outcome);
    manifest.rejection = "signature missing";
    return manifest;
  }
  if (run && FollowKeyChain(*run, source, *trusted, signature)) {
    highest_serial = trusted->current.serial_floor;
  }
  const std::vector<PublicKey>& keys = trusted->current.release_keys;
  SignatureCheck check = CheckSignature(manifest.body, signature, keys);
  if (check != SignatureCheck::kValid && !manifest.from_kept_copy) {
    check = FetchBothAgain(source.ManifestUrl(), signature_url, keys, check, manifest, signature,
                           signature_outcome);
  }
  if (check == SignatureCheck::kValid) {
    // Read only once its signature vouches for it.
    manifest.document = ReadManifestDocument(manifest.body, source.platform_key, channel, held);
    const std::optional<SignedMembers> members = CheckSignedMembers(
        manifest.document, source.platform_key, highest_serial, UnixNow(), manifest.rejection);
    if (members) manifest.serial = members->serial;
  } else if (check == SignatureCheck::kUnknownKey && SignedByRetiredKey(*trusted, signature)) {
    manifest.rejection = "signed by a key no longer trusted";
  } else {
    manifest.rejection = SignatureCheckText(check);
  }

  if (!keeping) return manifest;
  if (!manifest.rejection.empty()) {
    // A kept copy that no longer passes is never offered again; the next
    // check fetches in full.
    if (manifest.from_kept_copy || signature_kept) {
      RemoveKeptFiles(keeping->folder);
      manifest.kept.reset();
    }
    return manifest;
  }
  if (!manifest.from_kept_copy || !signature_kept) {
    KeptManifestRecord record = manifest.from_kept_copy ? copy->record : fresh();
    const Validators& signature_validators =
        signature_kept ? signature_have : signature_outcome.validators;
    record.signature_etag = signature_validators.etag;
    record.signature_last_modified = signature_validators.last_modified;
    manifest.kept = KeepCopy(keeping->folder, manifest.body, &signature, record);
  }
  return manifest;
}

ReleaseChoice ChooseFromManifest(const FetchedManifest& manifest, const ReleaseQuery& query) {
  ReleaseChoice choice = ChooseRelease(manifest.document, query);
  if (choice.outcome == ReleaseChoice::Outcome::kUnusable) {
    std::fprintf(stderr, "SolvaneSetup: manifest parse error -- %s\n", choice.error.c_str());
  }
  return choice;
}

}  // namespace solvane
