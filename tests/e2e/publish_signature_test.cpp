// solvane-publish's reading of `osslsigncode verify` (2.9) answers, cut from
// real runs on signed, unsigned and changed exes.
#include <gtest/gtest.h>

#include <string>

#include "tools/installer_signature.h"

namespace solvane::publish {
namespace {

TEST(PublishSignature, WarnsUnlessTheExactNameSigned) {
  const std::string signed_by =
      "Calculated message digest : B7A39322D3A92F57\n\nSigner's certificate:\n"
      "\t------------------\n\tSigner #0:\n\t\tSubject: ";
  const std::string warning = "warning: w: not signed by K Ltd. or K A/S: ";
  const std::string cases[][2] = {
      {signed_by + "/CN=K A/S/O=K/C=DK\n\t\tIssuer : /CN=Root\n", ""},
      {signed_by + "/CN=K Ltd/O=K\n\t\tIssuer : /CN=Root\n", warning + "signed by \"K Ltd\""},
      {"No signature found\nUnable to extract existing signature\n", warning + "no signature"},
      {"Calculated message digest : 8BA7     MISMATCH!!!\nFailed\n",
       warning + "changed after it was signed"},
      {"Segmentation fault\n", warning + "osslsigncode's answer cannot be read"},
  };
  for (const auto& [output, expected] : cases) {
    EXPECT_EQ(SignatureWarning(ReadOsslsigncodeOutput(output), {"K Ltd.", "K A/S"}, "w: "),
              expected);
  }
  // A verifier that cannot run never passes for one that found nothing wrong.
  EXPECT_EQ(SignatureWarning({InstallerSignature::Kind::kNoTool, ""}, {"K Ltd."}, "w: "),
            "warning: w: signature not checked: osslsigncode cannot be started");
}

}  // namespace
}  // namespace solvane::publish
