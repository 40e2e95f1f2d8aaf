// Text conversions: UTF-8 and UTF-16, the program's narrow path text and
// UTF-8, and ASCII case. The only place that decodes UTF-8 or folds case,
// and the one rule for which server validators are kept.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace solvane {

// A narrow path (system code page) as UTF-8, for storing in JSON. nullopt when
// it cannot be converted.
[[nodiscard]] std::optional<std::string> PathToUtf8(const std::string& path);

// The inverse of PathToUtf8. nullopt when the text has no narrow form.
[[nodiscard]] std::optional<std::string> Utf8ToPath(const std::string& utf8);

// Length (2 to 4) of the well-formed multi-byte UTF-8 sequence that starts
// at `at`; 0 when the bytes there are not one (overlong forms, surrogates
// and code points above U+10FFFF included), or `at` holds an ASCII byte.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

// The longest prefix of `text` of at most `max_bytes` bytes that does not
// end inside a UTF-8 sequence.
std::string_view Utf8Prefix(std::string_view text, std::size_t max_bytes);

// UTF-8 decoded to UTF-16; each invalid byte becomes U+FFFD.
std::u16string DecodeUtf8(std::string_view text);

// UTF-16 encoded as UTF-8; unpaired surrogates become U+FFFD.
std::string EncodeUtf8(std::u16string_view text);

// `c` with A-Z as a-z, every other byte as it is, whatever the locale.
char AsciiLower(char c);

// `text` with A-Z as a-z, every other byte as it is.
std::string AsciiLower(std::string_view text);

// `text` with a-z as A-Z, every other byte as it is.
std::string AsciiUpper(std::string_view text);

// Whether `text` starts with `prefix`, ASCII letters compared without case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// Longest ETag or Last-Modified kept: real servers send a few dozen bytes,
// and every run of the program reads the state file that holds them whole.
inline constexpr std::size_t kMaxValidatorBytes = 256;

// Whether `value`, an ETag or a Last-Modified a server sent, may be kept and
// sent back to it: 1 to kMaxValidatorBytes bytes, each printable ASCII (0x20
// to 0x7E). HTTP also allows bytes above 0x7F, which common servers do not
// send; dropping such a value costs only a full fetch.
bool IsUsableValidator(std::string_view value);

}  // namespace solvane
