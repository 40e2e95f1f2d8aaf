// The state file "Updates.json": the program's only persistent store. This
// code knows the file and its format, not what the keys mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/untrusted_json.h"

namespace solvane {

// Largest state file read; the program's own records take a few kilobytes.
inline constexpr std::size_t kMaxStateFileBytes = 1024 * 1024;

// Appended to the state file's name for the copy of a damaged one.
inline constexpr const char kCorruptSuffix[] = ".corrupt";

// The document in `text`, or an empty object when the text is not one strict
// JSON value whose top level is an object, is larger than kMaxStateFileBytes
// or nests deeper than kMaxJsonNesting.
Json ParseStateText(std::string_view text);

// The file's text for `state`: 3-space pretty print, keys in byte order,
// UTF-8 unescaped, one final '\n'. nullopt when a string is not valid UTF-8.
[[nodiscard]] std::optional<std::string> SerializeState(const Json& state);

// The stored document, or an empty object when the file is missing,
// unreadable or not a regular file. A damaged file (what ParseStateText
// refuses, except an empty one) is renamed to Updates.json.corrupt, replacing
// an older copy, and `problem` (when given) receives one line saying so.
// Never creates the file; throws as StateFilePath does.
Json LoadState(std::string* problem = nullptr);

// Replaces the state file with `state` atomically (temporary file, flush to
// disk, rename). Returns false, leaving the old file whole, when anything
// fails; throws as StateFilePath does.
[[nodiscard]] bool SaveState(const Json& state);

}  // namespace solvane
