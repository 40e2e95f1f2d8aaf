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

  // Parsed strings are valid UTF-8, so serialising cannot fail.
  const std::optional<std::string> serialised = solvane::SerializeState(document);
  FUZZ_CHECK(serialised.has_value());
  FUZZ_CHECK(!serialised->empty() && serialised->back() == '\n');

  const solvane::Json again = solvane::ParseStateText(*serialised);
  FUZZ_CHECK(again == document);

  // And the text is a fixed point.
  const std::optional<std::string> reserialised = solvane::SerializeState(again);
  FUZZ_CHECK(reserialised.has_value() && *reserialised == *serialised);
  return 0;
}
