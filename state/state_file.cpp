#include "state/state_file.h"

#include <cstdio>
#include <random>

#include "platform/fs.h"
#include "state/paths.h"

namespace solvane {
namespace {

// Serialising recurses once per nesting level; the program's own records are
// two levels deep, so anything past this is not a state file we wrote.
constexpr int kMaxNesting = 256;

bool NestsTooDeep(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxNesting) return true;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

std::string ReadAll(std::FILE* file) {
  std::string text;
  char buffer[8192];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

std::string TemporaryNameFor(const std::string& path) {
  static const char kDigits[] = "0123456789abcdef";
  std::random_device random;
  std::string name = path + ".tmp-";
  for (int i = 0; i < 12; ++i) name += kDigits[random() % 16];
  return name;
}

bool WriteWhole(const std::string& path, const std::string& text) {
  UniqueFile file = OpenFile(path, "w");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  const bool synced = written && FlushToDisk(file.get());
  return std::fclose(file.release()) == 0 && synced;
}

}  // namespace

Json ParseStateText(std::string_view text) {
  if (NestsTooDeep(text)) return Json::object();
  try {
    Json document = Json::parse(text);
    if (document.is_object()) return document;
  } catch (const Json::exception&) {
  }
  return Json::object();
}

std::optional<std::string> SerializeState(const Json& state) {
  try {
    return state.dump(3, ' ', false, Json::error_handler_t::strict) + "\n";
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

Json LoadState() {
  const std::string path = StateFilePath();
  UniqueFile file = OpenFile(path, "r");
  if (!file) return Json::object();
  return ParseStateText(ReadAll(file.get()));
}

bool SaveState(const Json& state) {
  const std::string path = StateFilePath();
  const std::optional<std::string> text = SerializeState(state);
  if (!text) return false;
  // A state file the user made read-only stays as it is.
  if (!CanReplace(path)) return false;

  const std::string temporary = TemporaryNameFor(path);
  if (!WriteWhole(temporary, *text) || !RenameOver(temporary, path)) {
    RemovePath(temporary);
    return false;
  }
  return true;
}

}  // namespace solvane
