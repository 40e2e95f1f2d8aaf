// Whether an installer carries the vendor's own code signature: on Windows
// its Authenticode signature, checked by the system's verifier and then held
// against the signer names (and keys) this build accepts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/launch.h"

namespace solvane {

// The signers a build accepts. No names: nothing is checked.
struct PublisherRule {
  std::vector<std::string> names;  // the signer's common name, byte for byte
  // SHA-256 of the signer's DER SubjectPublicKeyInfo, 64 lower-case hex
  // digits; none: any key of a signer with one of the names.
  std::vector<std::string> pins;
};

// The ';'-separated lists a build carries, as a rule. Empty entries are
// dropped; pins are taken in lower case.
PublisherRule PublisherRuleFrom(std::string_view names, std::string_view pins);

// The names as a refusal names them: "A", or "A or B".
std::string PublisherNamesText(const PublisherRule& rule);

// The signer a verifier trusted, as its certificate says.
struct SignerFacts {
  std::string name;             // subject common name, UTF-8
  std::string public_key_info;  // DER SubjectPublicKeyInfo
};

enum class PublisherVerdictKind {
  kNotChecked,  // no names in the rule, or no check on this OS
  kAccepted,
  kRefused,
};

struct [[nodiscard]] PublisherVerdict {
  PublisherVerdictKind kind = PublisherVerdictKind::kRefused;
  std::string reason;  // kRefused: why, in a few words
  // kAccepted although the certificates' revocation servers could not be asked.
  bool revocation_unchecked = false;
};

// The name and pin half of the check, for a signer whose signature the
// system already found valid: the name must equal one of the rule's names
// exactly, and with pins its key must match one.
PublisherVerdict JudgeSigner(const SignerFacts& signer, const PublisherRule& rule);

// The whole check of the held file (named `path`): read through the handle,
// so that what is judged is what LaunchHeldFile starts. kNotChecked without
// names, and on systems that have no such signature.
PublisherVerdict CheckPublisher(HeldFile& file, const std::string& path, const PublisherRule& rule);

}  // namespace solvane
