// A key set offered as the next one, on any bytes: the input is the key set
// file, a NUL, then its signature file. A set is taken only when two of the
// three root keys of the set before it signed, and what is taken reads back
// the same from its own JSON.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "release/key_chain.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// tests/keys: release-1 signs manifests; root-1 to root-3 sign key sets, two needed.
constexpr std::string_view kReleaseKey = "RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb/";
constexpr std::string_view kRootKeys =
    "RWTmaC3PQrsXH7NjrIuXOYeWhlsjuewSFtxm5wnUwnjFcBmDokR8ZKP6;"
    "RWTO22d44rI9urMCr0vWGlR6lO6c4RMRPbZqULW5EDAXc9oAaXmAMuET;"
    "RWTLYeX9/7ZFfhPzRE+q+B2+GcqsKZyIkvX73WTbFU+zk8f2jGf0mp95";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvane;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view text = input.substr(0, nul);
  const std::string_view signatures =
      nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

  static const KeySet current = *BuildKeySet(kReleaseKey, kRootKeys, 2);
  KeySetCheck check = KeySetCheck::kAccepted;
  const std::optional<KeySet> next = AcceptNextKeySet(current, text, signatures, check);
  FUZZ_CHECK(KeySetCheckText(check)[0] != '\0');
  FUZZ_CHECK(next.has_value() == (check == KeySetCheck::kAccepted));
  if (next) {
    FUZZ_CHECK(next->version == 2);
    FUZZ_CHECK(!next->release_keys.empty() && next->release_keys.size() <= kMaxKeySetKeys);
    FUZZ_CHECK(next->root_threshold >= 1 &&
               next->root_threshold <= static_cast<std::int64_t>(next->root_keys.size()));
    FUZZ_CHECK(text.size() <= kKeySetFileCap && signatures.size() <= kKeySetFileCap);
    const std::optional<KeySet> again = KeySetFromJson(KeySetJson(*next));
    FUZZ_CHECK(again && KeySetJson(*again) == KeySetJson(*next));
  }
  if (const auto files = SplitSignatureFiles(signatures)) {
    FUZZ_CHECK(files->size() <= kMaxKeySetSignatures);
  }
  return 0;
}
