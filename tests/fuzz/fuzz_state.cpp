// The state file's parse path: ParseStateText, then SerializeState, then a
// re-parse of the serialised text, which must give back the same document.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "state/state_file.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const solvane::Json document = solvane::ParseStateText(text);
  FUZZ_CHECK(document.is_object());
  // Over the size cap nothing is read, however sound the text.
  if (size > solvane::kMaxStateFileBytes) FUZZ_CHECK(document.empty());

  // Parsed strings are valid UTF-8, so serialising cannot fail.
  const std::optional<std::string> serialised = solvane::SerializeState(document);
  FUZZ_CHECK(serialised.has_value());
  FUZZ_CHECK(!serialised->empty() && serialised->back() == '\n');

  // Pretty printing can grow a wide document past the read cap; such a file
  // would be set aside on the next load rather than misread.
  if (serialised->size() > solvane::kMaxStateFileBytes) return 0;
  const solvane::Json again = solvane::ParseStateText(*serialised);
  FUZZ_CHECK(again == document);

  // And the text is a fixed point.
  const std::optional<std::string> reserialised = solvane::SerializeState(again);
  FUZZ_CHECK(reserialised.has_value() && *reserialised == *serialised);
  return 0;
}
