#include "log/activity_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "constants.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "state/paths.h"

namespace solvane {

void LogMessage(const char* format, ...) {
  static const std::string path = UpdatesDirectory() + kLogFileName;

  // Opened and closed per line, so two processes interleave whole lines.
  UniqueFile file = OpenFile(path, "a");
  if (!file) return;

  const std::tm local = LocalTime(UnixNow());
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(file.get(), "[%s] ", stamp);

  va_list args;
  va_start(args, format);
  std::vfprintf(file.get(), format, args);
  va_end(args);
  std::fputc('\n', file.get());
}

}  // namespace solvane
