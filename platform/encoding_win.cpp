#include "platform/encoding_win.h"

#include <windows.h>

#include <cwchar>

#include "platform/encoding.h"

namespace solvane {

std::optional<std::wstring> WideFromCodePage(std::string_view text, unsigned code_page) {
  if (text.empty()) return std::wstring();
  const int text_size = static_cast<int>(text.size());
  const int wide_size =
      ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), text_size, nullptr, 0);
  if (wide_size <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  if (::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), text_size, wide.data(),
                            wide_size) != wide_size) {
    return std::nullopt;
  }
  return wide;
}

// wchar_t is UTF-16 here: each unit is copied over as it is.
std::wstring WideFromUtf8(std::string_view utf8) {
  const std::u16string units = DecodeUtf8(utf8);
  return std::wstring(units.begin(), units.end());
}

std::string Utf8FromWide(const wchar_t* wide) {
  if (!wide) return std::string();
  return EncodeUtf8(std::u16string(wide, wide + std::wcslen(wide)));
}

namespace {

// Text in code page `from` re-encoded in code page `to`, through UTF-16.
// nullopt when the input is not valid in `from` or a character has no exact
// form in `to` (no best-fit look-alikes, no default characters).
std::optional<std::string> Recode(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return std::string();
  // The ANSI code page may itself be UTF-8, which takes other flags below.
  if (from == CP_ACP) from = ::GetACP();
  if (to == CP_ACP) to = ::GetACP();
  const std::optional<std::wstring> wide = WideFromCodePage(text, from);
  if (!wide) return std::nullopt;
  const int wide_size = static_cast<int>(wide->size());

  // UTF-8 and the other code pages that take no default character reject
  // these flags; for them an unconvertible character is an error anyway.
  const bool strict_target = to == CP_UTF8 || to == CP_UTF7;
  const DWORD flags =
      to == CP_UTF8 ? WC_ERR_INVALID_CHARS : (strict_target ? 0 : WC_NO_BEST_FIT_CHARS);
  BOOL used_default = FALSE;
  BOOL* used_default_out = strict_target ? nullptr : &used_default;
  const int out_size = ::WideCharToMultiByte(to, flags, wide->data(), wide_size, nullptr, 0,
                                             nullptr, used_default_out);
  if (out_size <= 0 || used_default) return std::nullopt;
  std::string out(static_cast<std::size_t>(out_size), '\0');
  if (::WideCharToMultiByte(to, flags, wide->data(), wide_size, out.data(), out_size, nullptr,
                            used_default_out) != out_size ||
      used_default) {
    return std::nullopt;
  }
  return out;
}

}  // namespace

// Program paths come from the shell's 8-bit calls and so are in the ANSI code
// page; the state file stores them as UTF-8, which JSON requires.
std::optional<std::string> PathToUtf8(const std::string& path) {
  return Recode(path, CP_ACP, CP_UTF8);
}

std::optional<std::string> Utf8ToPath(const std::string& utf8) {
  return Recode(utf8, CP_UTF8, CP_ACP);
}

}  // namespace solvane
