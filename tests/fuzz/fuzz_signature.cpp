// The minisign parsers on any bytes: the signature file, public key files and
// key lists, and the whole check against a real key and a signed message.
// Parsed parts must come from the input: the trusted comment is a slice of it,
// and a key decodes back to the line it came from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "release/signature.h"
#include "release/signed_members.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// tests/keys/release-1.pub
constexpr std::string_view kKey = "RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb/";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace solvane;

  if (const std::optional<SignatureFile> file = ParseSignatureFile(text)) {
    FUZZ_CHECK(size <= kSignatureFileCap);
    FUZZ_CHECK(text.find(file->trusted_comment) != std::string_view::npos);
    FUZZ_CHECK(file->trusted_comment.find('\n') == std::string::npos);
  }
  if (const std::optional<PublicKey> key = ParsePublicKeyFile(text)) {
    std::uint8_t raw[42] = {'E', 'd'};
    std::copy(key->key_id.begin(), key->key_id.end(), raw + 2);
    std::copy(key->key.begin(), key->key.end(), raw + 10);
    FUZZ_CHECK(text.find(Base64(raw, sizeof raw)) != std::string_view::npos);
  }
  if (const auto keys = ParsePublicKeyList(text)) FUZZ_CHECK(keys->size() <= size / 56);

  static const std::vector<PublicKey> trusted = *ParsePublicKeyList(kKey);
  const SignatureCheck check = CheckSignature("hello\n", text, trusted);
  FUZZ_CHECK(SignatureCheckText(check)[0] != '\0');

  const std::optional<std::int64_t> time = ParseUtcTime(text);
  if (time && *time >= 0) FUZZ_CHECK(FormatUtcTime(*time) == text);
  return 0;
}
