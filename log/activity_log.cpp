#include "log/activity_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/encoding.h"
#include "platform/fs.h"

namespace solvane {
namespace {

void AppendHexEscape(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

// One printf directive ("%08lx" and the like) for a number or a pointer.
template <typename T>
void AppendFormatted(std::string& out, const std::string& directive, T value) {
  char buffer[128];
  const int n = std::snprintf(buffer, sizeof buffer, directive.c_str(), value);
  if (n > 0) out.append(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1));
}

}  // namespace

std::string EscapeLogValue(std::string_view value) {
  const std::string_view kept = Utf8Prefix(value, kMaxLogValueBytes);
  std::string out;
  out.reserve(kept.size() + 16);
  for (std::size_t i = 0; i < kept.size();) {
    const auto c = static_cast<unsigned char>(kept[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(kept, i);
      // U+0080 to U+009F are control characters too (0xC2 0x80-0x9F).
      const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(kept[i + 1]) < 0xA0;
      if (length == 0 || c1) {
        AppendHexEscape(out, c);
        ++i;
      } else {
        out.append(kept.substr(i, length));
        i += length;
      }
      continue;
    }
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(out, c);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  if (kept.size() < value.size()) {
    out += "...[" + std::to_string(value.size()) + " bytes]";
  }
  return out;
}

namespace {

// One printf directive as read from the format, '*' replaced by its value.
struct Directive {
  std::string text = "%";  // flags, width, precision, length and conversion
  std::string length;      // the length modifier ("", "l", "ll", "z", ...)
  int precision = -1;      // -1 when none was given
  char conversion = '\0';  // '\0' when the format ended first
};

// Reads the directive whose '%' precedes `p`, taking the values of '*' from
// `args`; `p` is left on the conversion letter, or on the format's end.
Directive ReadDirective(const char*& p, va_list* args) {
  Directive d;
  while (*p && std::strchr("-+ #0", *p)) d.text += *p++;
  if (*p == '*') {
    d.text += std::to_string(va_arg(*args, int));
    ++p;
  }
  while (*p >= '0' && *p <= '9') d.text += *p++;
  if (*p == '.') {
    d.text += *p++;
    d.precision = 0;
    if (*p == '*') {
      d.precision = va_arg(*args, int);
      d.text += std::to_string(d.precision);
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') {
        d.precision = d.precision * 10 + (*p - '0');
        d.text += *p++;
      }
    }
  }
  while (*p && std::strchr("hljztL", *p)) d.length += *p++;
  d.conversion = *p;
  d.text += d.length;
  d.text += d.conversion;
  return d;
}

// Appends the argument `d` converts, text escaped; false for a conversion
// this formatter does not know, whose argument is left alone.
bool AppendArgument(std::string& out, const Directive& d, va_list* args) {
  switch (d.conversion) {
    case 's': {
      const char* text = va_arg(*args, const char*);
      if (!text) text = "(null)";
      std::size_t size = std::strlen(text);
      if (d.precision >= 0) size = std::min(size, static_cast<std::size_t>(d.precision));
      out += EscapeLogValue(std::string_view(text, size));
      return true;
    }
    case 'c': {
      const char c = static_cast<char>(va_arg(*args, int));
      out += EscapeLogValue(std::string_view(&c, 1));
      return true;
    }
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (d.length == "ll" || d.length == "j") {
        AppendFormatted(out, d.text, va_arg(*args, long long));
      } else if (d.length == "l") {
        AppendFormatted(out, d.text, va_arg(*args, long));
      } else if (d.length == "z" || d.length == "t") {
        AppendFormatted(out, d.text, va_arg(*args, std::size_t));
      } else {
        AppendFormatted(out, d.text, va_arg(*args, int));
      }
      return true;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
      if (d.length == "L") {
        AppendFormatted(out, d.text, va_arg(*args, long double));
      } else {
        AppendFormatted(out, d.text, va_arg(*args, double));
      }
      return true;
    case 'p':
      AppendFormatted(out, d.text, va_arg(*args, void*));
      return true;
    case 'n':
      static_cast<void>(va_arg(*args, void*));
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string FormatLogMessageV(const char* format, va_list args) {
  // A copy, so that the helpers can take arguments through a pointer on
  // every ABI (va_list is an array type on some).
  va_list rest;
  va_copy(rest, args);
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char* const start = p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    const Directive directive = ReadDirective(p, &rest);
    if (!directive.conversion) {
      out += start;  // a lone '%' at the end
      break;
    }
    if (!AppendArgument(out, directive, &rest)) {
      out.append(start, static_cast<std::size_t>(p - start + 1));
    }
  }
  va_end(rest);
  return out;
}

std::string FormatLogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatLogMessageV(format, args);
  va_end(args);
  return message;
}

namespace {

std::string& LogPathStorage() {
  static std::string path;
  return path;
}

}  // namespace

std::string SetLogPath(std::string path) {
  std::swap(LogPathStorage(), path);
  return path;
}

void LogMessage(const char* format, ...) {
  const std::string& path = LogPathStorage();
  if (path.empty()) return;

  va_list args;
  va_start(args, format);
  const std::string message = FormatLogMessageV(format, args);
  va_end(args);

  // Opened and closed per line, so two processes interleave whole lines.
  // OpenFile does not wait on a FIFO and refuses anything but a plain file.
  UniqueFile file = OpenFile(path, "a");
  if (!file) return;

  const std::tm local = LocalTime(UnixNow());
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(file.get(), "[%s] %s\n", stamp, message.c_str());
}

}  // namespace solvane
