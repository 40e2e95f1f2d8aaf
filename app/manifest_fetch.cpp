#include "app/manifest_fetch.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "app/transfer_report.h"
#include "net/signature.h"
#include "net/transfer.h"
#include "platform/clock.h"
#include "state/manifest.h"
#include "state/signed_members.h"

namespace solvane {

FetchedManifest FetchReleaseManifest(const ReleaseSource& source, std::int64_t highest_serial,
                                     const std::string& channel) {
  FetchedManifest manifest;
  manifest.outcome = FetchManifest(source.ManifestUrl(), manifest.body);
  LogRoute(manifest.outcome);
  LogFetchFailure(source.ManifestUrl(), manifest.outcome);
  manifest.fetched = manifest.outcome.ok();
  if (!manifest.fetched) return manifest;
  if (source.public_keys.empty()) {
    manifest.document = ReadManifestDocument(manifest.body, source.platform_key, channel);
    return manifest;
  }

  const std::optional<std::vector<PublicKey>> keys = ParsePublicKeyList(source.public_keys);
  if (!keys || keys->empty()) {
    manifest.rejection = "no usable release key";
    return manifest;
  }
  TransferTuning small;
  small.body_cap = kSignatureFileCap;
  std::string signature;
  const std::string signature_url = source.ManifestUrl() + ".minisig";
  const TransferOutcome signature_outcome = FetchManifest(signature_url, signature, small);
  LogRoute(signature_outcome);
  LogFetchFailure(signature_url, signature_outcome);
  if (!signature_outcome.ok()) {
    manifest.rejection = "signature missing";
    return manifest;
  }
  const SignatureCheck check = CheckSignature(manifest.body, signature, *keys);
  if (check != SignatureCheck::kValid) {
    manifest.rejection = SignatureCheckText(check);
    return manifest;
  }
  // Read only once its signature vouches for it.
  manifest.document = ReadManifestDocument(manifest.body, source.platform_key, channel);
  const std::optional<SignedMembers> members = CheckSignedMembers(
      manifest.document, source.platform_key, highest_serial, UnixNow(), manifest.rejection);
  if (members) manifest.serial = members->serial;
  return manifest;
}

bool ParseReleaseManifest(const ReleaseSource& source, const FetchedManifest& manifest,
                          std::string& version, std::string& url, std::string& sha256,
                          std::string& notes, std::string& error) {
  error.clear();
  if (ParseManifest(manifest.document, source.platform_key, version, url, sha256, notes, &error)) {
    return true;
  }
  if (!error.empty())
    std::fprintf(stderr, "SolvaneSetup: manifest parse error -- %s\n", error.c_str());
  return false;
}

}  // namespace solvane
