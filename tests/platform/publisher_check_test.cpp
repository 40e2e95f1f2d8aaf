#include "platform/publisher_check.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace solvane {
namespace {

// A P-256 code-signing test certificate's subject and DER public key, as
// `openssl x509 -pubkey | openssl pkey -pubin -outform der` gives them, and
// `sha256sum` of those bytes: the pin a vendor would configure.
const unsigned char kPublicKeyInfo[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a,
    0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04, 0xbb, 0xc9, 0x40, 0x9d, 0x20,
    0x1b, 0x3e, 0xcc, 0x2c, 0xaf, 0x1b, 0x75, 0x9c, 0xf3, 0x38, 0x68, 0x0d, 0x8a, 0xc6, 0x07, 0xb6,
    0xcf, 0x88, 0x26, 0x4d, 0xaf, 0xfc, 0x9e, 0x6e, 0x74, 0x8d, 0xba, 0x7c, 0xef, 0x5c, 0x78, 0xc1,
    0x73, 0x61, 0x64, 0x6b, 0x46, 0xe7, 0x15, 0x0c, 0x12, 0xdb, 0xf8, 0xc7, 0xef, 0x32, 0x12, 0x79,
    0xc6, 0x9e, 0xa0, 0x8b, 0x56, 0x6e, 0x0e, 0xf1, 0x79, 0x77, 0x75};
constexpr char kPin[] = "5411c46042c90ba3d74569e8f7c00944d06f9e9667ff7a3cffc6bdb0d06080dd";

TEST(JudgeSigner, AcceptsOnlyAnExactNameAndAPinnedKey) {
  const SignerFacts signer{"Korrinwade Ltd.",
                           std::string(std::begin(kPublicKeyInfo), std::end(kPublicKeyInfo))};
  const std::string other_pin = "0" + std::string(kPin + 1);
  const struct {
    std::string names, pins;
    PublisherVerdictKind kind;
    std::string reason;
  } cases[] = {
      {"", "", PublisherVerdictKind::kNotChecked, ""},
      {"Korrinwade Ltd;Korrinwade Ltd.", "", PublisherVerdictKind::kAccepted, ""},
      // A renewal's new spelling is planned as a second name, never guessed.
      {"Korrinwade Ltd", "", PublisherVerdictKind::kRefused, "signed by \"Korrinwade Ltd.\""},
      {"korrinwade ltd.", "", PublisherVerdictKind::kRefused, "signed by \"Korrinwade Ltd.\""},
      {"Korrinwade Ltd.", other_pin + ";" + kPin, PublisherVerdictKind::kAccepted, ""},
      {"Korrinwade Ltd.", "5411C46042C90BA3D74569E8F7C00944D06F9E9667FF7A3CFFC6BDB0D06080DD",
       PublisherVerdictKind::kAccepted, ""},
      {"Korrinwade Ltd.", other_pin, PublisherVerdictKind::kRefused,
       "its key " + std::string(kPin) + " is not pinned"},
      // The pin never stands in for the name.
      {"Other Ltd.", kPin, PublisherVerdictKind::kRefused, "signed by \"Korrinwade Ltd.\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names + " / " + c.pins);
    const PublisherVerdict verdict = JudgeSigner(signer, PublisherRuleFrom(c.names, c.pins));
    EXPECT_EQ(verdict.kind, c.kind);
    EXPECT_EQ(verdict.reason, c.reason);
  }
  // A name that only looks right (a Cyrillic 'о') shows why it is not.
  EXPECT_EQ(JudgeSigner({"K\xd0\xberrinwade", "x"}, PublisherRuleFrom("Korrinwade", "")).reason,
            "signed by \"K\\xd0\\xberrinwade\"");
}

}  // namespace
}  // namespace solvane
