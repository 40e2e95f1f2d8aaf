// The activity log: one time-stamped line per notable event, appended to
// UpdatesDirectory + "/SolvaneSetup.log".
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace solvane {

// Longest part of one value (a %s argument) that reaches a log line; the
// rest is replaced by a note of the full length.
inline constexpr std::size_t kMaxLogValueBytes = 512;

// `value` as it may appear inside a log line: cut to kMaxLogValueBytes at a
// UTF-8 boundary; control characters (C0, DEL, C1) and bytes that are not
// UTF-8 written as escapes (\n, \r, \t, \xHH). Backslashes stay as they
// are: Windows paths keep their look, and no line can be forged without a
// line break.
std::string EscapeLogValue(std::string_view value);

// The format checks follow the printf the program links: MinGW's own
// (which knows %zu and %lld) where its headers say so, not msvcrt's.
#if defined(__MINGW_PRINTF_FORMAT)
#define SOLVANE_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define SOLVANE_PRINTF_FORMAT printf
#endif

// The message of a log line: `format` with every %s value passed through
// EscapeLogValue; numbers are formatted as printf does. %n writes nothing.
#if defined(__GNUC__)
__attribute__((format(SOLVANE_PRINTF_FORMAT, 1, 2)))
#endif
std::string
FormatLogMessage(const char* format, ...);
std::string FormatLogMessageV(const char* format, va_list args);

// The log's file for the rest of the process; the program's entry sets it
// once it has created the updates folder, before anything is logged.
// Returns the path it replaces.
std::string SetLogPath(std::string path);

// Appends "[local time] message\n", the message made by FormatLogMessage.
// A log that cannot be opened, or is not a regular file, loses the line
// silently; so does every line before SetLogPath gives the log a file.
#if defined(__GNUC__)
__attribute__((format(SOLVANE_PRINTF_FORMAT, 1, 2)))
#endif
void LogMessage(const char* format, ...);

}  // namespace solvane
