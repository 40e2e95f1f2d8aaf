// Windows' wide strings (UTF-16 in wchar_t) and its 8-bit code pages, for
// the other Windows files of platform/.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace solvane {

// `text` in code page `code_page` (a Windows CP_ value) as UTF-16. nullopt
// when a byte sequence is not valid in that code page; GetLastError says why.
[[nodiscard]] std::optional<std::wstring> WideFromCodePage(std::string_view text,
                                                           unsigned code_page);

// UTF-8 as a wide string; invalid bytes become U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);

// A NUL-terminated wide string as UTF-8 ("" for null); unpaired surrogates
// become U+FFFD.
std::string Utf8FromWide(const wchar_t* wide);

}  // namespace solvane
