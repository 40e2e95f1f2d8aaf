// The activity log: one time-stamped line per notable event, appended to
// UpdatesDirectory + "/SolvaneSetup.log".
#pragma once

namespace solvane {

// Appends "[local time] message\n". A log that cannot be opened loses the
// line silently. The first call creates the UpdatesDirectory (and throws as
// UpdatesDirectory does when it cannot).
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void LogMessage(const char* format, ...);

}  // namespace solvane
