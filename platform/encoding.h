// Text conversions: UTF-8 and UTF-16, and the program's narrow path text
// and UTF-8. The only place that converts between encodings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace solvane {

// A narrow path (system code page) as UTF-8, for storing in JSON. nullopt when
// it cannot be converted.
[[nodiscard]] std::optional<std::string> PathToUtf8(const std::string& path);

// The inverse of PathToUtf8. nullopt when the text has no narrow form.
[[nodiscard]] std::optional<std::string> Utf8ToPath(const std::string& utf8);

// UTF-8 decoded to UTF-16; each invalid byte becomes U+FFFD.
std::u16string DecodeUtf8(std::string_view text);

// UTF-16 encoded as UTF-8; unpaired surrogates become U+FFFD.
std::string EncodeUtf8(std::u16string_view text);

}  // namespace solvane
