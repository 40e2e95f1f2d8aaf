// The minisign formats and the signature check, on a signature made by
// Debian's minisign with the test key tests/keys/release-1 over "hello\n".
#include "release/signature.h"

#include <gtest/gtest.h>

namespace solvane {
namespace {

const std::string kKey1 = "RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb/";
const std::string kSignatureLine =
    "RUQUHcDDwftEIY8XnpMPixemZQ1VcuPRTChp9aaSuLMNR1PIIlxRwdw7T7t14N7zfDjYm/bu0+jpt/"
    "tPbJUwLEnHC7KB1l6"
    "poQc=";
const std::string kGlobalLine =
    "TsiSPhz0T/a+KxIfJMCQ/QqlsqY/fduTBetVlQwaKffq8XvL6oGO+i+QaD/5aru8P0GTVaZKJV1KwUjnGdo9BQ==";
const std::string kSignature = "untrusted comment: signature from minisign secret key\n" +
                               kSignatureLine + "\ntrusted comment: unit test\n" + kGlobalLine +
                               "\n";
const std::string kLegacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWQUHcDDwftEIf7AmgS+cTwx19V8rkPM3jzaZ0R1KIX6luMQF0hLh3kNZejNKHF67nA5RFpL9nJVdEJsoaD1C66L0u97DP"
    "9xxQI=\ntrusted comment: unit test\n"
    "UIm8St/nXPcXa38BuK9TQQiSeAwzNIJAqblhCUgbOJ7MicjXH/QBWVxtphdZHbWbyjuSAP7OCeZgU9ca+v4XAw==\n";

std::vector<PublicKey> Trusted() { return *ParsePublicKeyList(kKey1); }

TEST(Signature, PublicKeyLinesAndFiles) {
  const std::optional<PublicKey> key = ParsePublicKey(kKey1);
  ASSERT_TRUE(key);
  EXPECT_EQ(KeyIdText(key->key_id), "2144FBC1C3C01D14");
  const char* bad[] = {
      "",
      "RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb",    // one short
      "RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb/A",  // one long
      "RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb!",   // not base64
      " RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb",   // space
      "RUQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb/",   // "ED", not a key
      // A byte above 0x7f, which libsodium's decoder alone would take (found by fuzzing).
      "RWQUHcDDwftEISs\xabJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb/",
  };
  for (const char* line : bad) EXPECT_FALSE(ParsePublicKey(line)) << line;

  EXPECT_TRUE(ParsePublicKeyFile("untrusted comment: minisign public key 2144\n" + kKey1 + "\n"));
  EXPECT_TRUE(ParsePublicKeyFile("untrusted comment: x\r\n" + kKey1 + "\r\n"));
  EXPECT_TRUE(ParsePublicKeyFile(kKey1));
  EXPECT_FALSE(ParsePublicKeyFile("untrusted comment: x\n" + kKey1 + "\nmore\n"));
  EXPECT_FALSE(ParsePublicKeyFile("untrusted comment: x\n"));

  EXPECT_EQ(ParsePublicKeyList(kKey1 + ";" + kKey1 + ";")->size(), 2u);
  EXPECT_EQ(ParsePublicKeyList("")->size(), 0u);
  EXPECT_FALSE(ParsePublicKeyList(kKey1 + ";junk"));
}

TEST(Signature, MinisignSignatureVerifiesAndToleratesCarriageReturns) {
  EXPECT_EQ(CheckSignature("hello\n", kSignature, Trusted()), SignatureCheck::kValid);
  std::string crlf;
  for (char c : kSignature) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(CheckSignature("hello\n", crlf, Trusted()), SignatureCheck::kValid);
  // Without the final line end, and with blank lines after it.
  EXPECT_EQ(CheckSignature("hello\n", kSignature.substr(0, kSignature.size() - 1), Trusted()),
            SignatureCheck::kValid);
  EXPECT_EQ(CheckSignature("hello\n", kSignature + "\n\r\n", Trusted()), SignatureCheck::kValid);
  const std::optional<SignatureFile> file = ParseSignatureFile(kSignature);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->trusted_comment, "unit test");
}

TEST(Signature, EveryRefusalHasItsReason) {
  std::string edited = kSignature;
  edited.replace(edited.find("unit test"), 9, "unit tesT");
  const struct {
    const char* name;
    std::string message;
    std::string signature;
    std::vector<PublicKey> keys;
    SignatureCheck expected;
  } rows[] = {
      {"changed message", "hellO\n", kSignature, Trusted(), SignatureCheck::kBadSignature},
      {"edited trusted comment", "hello\n", edited, Trusted(), SignatureCheck::kBadTrustedComment},
      {"legacy", "hello\n", kLegacy, Trusted(), SignatureCheck::kLegacyAlgorithm},
      {"no keys", "hello\n", kSignature, {}, SignatureCheck::kUnknownKey},
      {"empty", "hello\n", "", Trusted(), SignatureCheck::kMalformed},
      {"three lines", "hello\n", kSignature.substr(0, kSignature.rfind(kGlobalLine)), Trusted(),
       SignatureCheck::kMalformed},
      {"text after", "hello\n", kSignature + "extra\n", Trusted(), SignatureCheck::kMalformed},
      {"no untrusted prefix", "hello\n", kSignature.substr(2), Trusted(),
       SignatureCheck::kMalformed},
      {"global too short", "hello\n", kSignature.substr(0, kSignature.size() - 4) + "\n", Trusted(),
       SignatureCheck::kMalformed},
      {"oversized", "hello\n",
       "untrusted comment: " + std::string(kSignatureFileCap, 'x') + "\n" + kSignature, Trusted(),
       SignatureCheck::kMalformed},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(CheckSignature(row.message, row.signature, row.keys), row.expected) << row.name;
  }
  EXPECT_STREQ(SignatureCheckText(SignatureCheck::kBadSignature), "bad signature");
  EXPECT_STREQ(SignatureCheckText(SignatureCheck::kUnknownKey), "unknown key");
}

}  // namespace
}  // namespace solvane
