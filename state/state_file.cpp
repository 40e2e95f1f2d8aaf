#include "state/state_file.h"

#include <algorithm>
#include <cstdio>

#include "platform/fs.h"
#include "platform/untrusted_json.h"
#include "state/paths.h"

namespace solvane {
namespace {

// Reads at most `limit` bytes: enough to tell a file over the cap.
std::string ReadUpTo(std::FILE* file, std::size_t limit) {
  std::string text;
  char buffer[8192];
  std::size_t n;
  while (text.size() < limit &&
         (n = std::fread(buffer, 1, std::min(sizeof buffer, limit - text.size()), file)) > 0) {
    text.append(buffer, n);
  }
  return text;
}

enum class Damage { kNone, kTooLarge, kTooDeep, kNotJson, kNotObject };

// Parses the state file's text; `document` is set only when it is sound.
Damage ParseDocument(std::string_view text, Json& document) {
  if (text.size() > kMaxStateFileBytes) return Damage::kTooLarge;
  // Serialising recurses once per nesting level, so refuse absurd depths
  // before the parser builds them.
  if (NestsDeeperThan(text, kMaxJsonNesting)) return Damage::kTooDeep;
  try {
    Json parsed = Json::parse(text);
    if (!parsed.is_object()) return Damage::kNotObject;
    document = std::move(parsed);
    return Damage::kNone;
  } catch (const Json::exception&) {
    return Damage::kNotJson;  // syntax errors and invalid UTF-8 alike
  }
}

const char* Describe(Damage damage) {
  switch (damage) {
    case Damage::kTooLarge:
      return "is larger than 1 MiB";
    case Damage::kTooDeep:
      return "nests too deep";
    case Damage::kNotJson:
      return "is not valid JSON";
    case Damage::kNotObject:
      return "is not a JSON object";
    case Damage::kNone:
      break;
  }
  return "is sound";
}

}  // namespace

Json ParseStateText(std::string_view text) {
  Json document = Json::object();
  static_cast<void>(ParseDocument(text, document));  // damage reads as empty
  return document;
}

std::optional<std::string> SerializeState(const Json& state) {
  try {
    return state.dump(3, ' ', false, Json::error_handler_t::strict) + "\n";
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

Json LoadState(std::string* problem) {
  const std::string path = StateFilePath();
  std::string text;
  {
    // Not a regular file (a FIFO, a device) does not open: unreadable.
    UniqueFile file = OpenFile(path, "r");
    if (!file) return Json::object();
    text = ReadUpTo(file.get(), kMaxStateFileBytes + 1);
  }
  Json document = Json::object();
  const Damage damage = ParseDocument(text, document);
  // An empty file holds no records to lose.
  if (damage == Damage::kNone || text.empty()) return document;

  // The next save would replace the file and every record in it: keep the
  // damaged one for a person to look at, the latest one only.
  const std::string aside = path + kCorruptSuffix;
  const bool kept = RenameOver(path, aside);
  if (problem) {
    *problem = std::string("state file ") + Describe(damage) +
               (kept ? "; kept aside as " + aside.substr(aside.rfind('/') + 1)
                     : "; it could not be kept aside") +
               ", starting from an empty state";
  }
  return document;
}

bool SaveState(const Json& state) {
  const std::string path = StateFilePath();
  const std::optional<std::string> text = SerializeState(state);
  if (!text) return false;
  // A state file the user made read-only stays as it is.
  if (!CanReplace(path)) return false;

  // Text form: "\r\n" line ends on Windows, as the file has always had.
  return WriteFileAtomically(path, *text, FileForm::kText);
}

}  // namespace solvane
