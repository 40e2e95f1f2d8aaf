// solvane-publish's reading of `osslsigncode verify` (2.9) answers, captured
// from real runs on signed, unsigned and changed exes.
#include <gtest/gtest.h>

#include <string>

#include "tools/installer_signature.h"

namespace solvane::publish {
namespace {

std::string SignedBy(const std::string& subject) {
  return "PE checksum   : 00024934\n\nSignature Index: 0  (Primary Signature)\n\n"
         "Message digest algorithm  : SHA256\n"
         "Current message digest    : B7A39322D3A92F57\n"
         "Calculated message digest : B7A39322D3A92F57\n\n"
         "Signer's certificate:\n\t------------------\n\tSigner #0:\n\t\tSubject: " +
         subject +
         "\n\t\tIssuer : /CN=Solvane Test Root\n\t\tSerial : 02\n\n"
         "Signing certificate chain verified using:\n\t------------------\n\tSigner #1:\n"
         "\t\tSubject: /CN=Solvane Test Root\n";
}

TEST(PublishSignature, WarnsUnlessTheExactNameSigned) {
  const std::vector<std::string> names = {"Korrinwade Ltd.", "Korrinwade A/S"};
  const struct {
    std::string output;
    std::string warning;
  } cases[] = {
      {SignedBy("/CN=Korrinwade A/S/O=Korrinwade/C=DK"), ""},
      {SignedBy("/CN=Korrinwade Ltd/O=Korrinwade"),
       "warning: w 1: not signed by Korrinwade Ltd. or Korrinwade A/S: signed by \"Korrinwade "
       "Ltd\""},
      {"No signature found\nUnable to extract existing signature\n",
       "warning: w 1: not signed by Korrinwade Ltd. or Korrinwade A/S: no signature"},
      {"Calculated message digest : 8BA76D0B     MISMATCH!!!\nFailed\n",
       "warning: w 1: not signed by Korrinwade Ltd. or Korrinwade A/S: changed after it was "
       "signed"},
      {"Segmentation fault\n",
       "warning: w 1: not signed by Korrinwade Ltd. or Korrinwade A/S: "
       "osslsigncode's answer cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(SignatureWarning(ReadOsslsigncodeOutput(c.output), names, "w 1: "), c.warning);
  }
  // A verifier that cannot run never passes for one that found nothing wrong.
  EXPECT_EQ(SignatureWarning({InstallerSignature::Kind::kNoTool, ""}, names, "w 1: "),
            "warning: w 1: signature not checked: osslsigncode cannot be started");
}

}  // namespace
}  // namespace solvane::publish
