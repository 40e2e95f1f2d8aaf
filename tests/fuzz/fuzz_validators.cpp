// The validators a server sends, as the program judges them before keeping
// them: whatever is judged usable must be storable in the state file (valid
// UTF-8, short) and read back as it was; whatever a record holds that is not
// usable reads as no validator.
//
// Input: the first byte picks the header (even: ETag, odd: Last-Modified);
// the rest is its value.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "net/easy_handle.h"
#include "platform/encoding.h"
#include "state/records.h"
#include "state/state_file.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool last_modified = (data[0] & 1) != 0;
  const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool usable =
      last_modified ? solvane::IsUsableLastModified(value) : solvane::IsUsableValidator(value);
  if (usable) {
    FUZZ_CHECK(solvane::IsUsableValidator(value));
    FUZZ_CHECK(value.size() <= solvane::kMaxValidatorBytes);
  }

  // As a record would hold it, usable or not (an older program stored any).
  solvane::Json state = solvane::Json::object();
  state["partial"] = {{"url", "u"}, {"sha256", ""}, {"file", "f"}, {"bytes", 1}};
  state["partial"]["validator"] = value;
  state["kept_manifest"] = {{"etag", value}, {"last_modified", value}};
  const std::optional<std::string> text = solvane::SerializeState(state);
  if (solvane::IsUsableValidator(value)) FUZZ_CHECK(text.has_value());
  // A text past the state file's cap is refused as damaged: read the document itself then.
  const solvane::Json read =
      text && text->size() <= solvane::kMaxStateFileBytes ? solvane::ParseStateText(*text) : state;
  const std::optional<solvane::PartialRecord> partial = solvane::ReadPartial(read);
  FUZZ_CHECK(partial.has_value());
  FUZZ_CHECK(partial->validator == (solvane::IsUsableValidator(value) ? value : ""));
  const std::optional<solvane::KeptManifestRecord> kept = solvane::ReadKeptManifest(read);
  FUZZ_CHECK(kept.has_value());
  FUZZ_CHECK(kept->etag == partial->validator);
  return 0;
}
