// Process-wide settings made once at start-up, before any workflow.
#pragma once

namespace solvane {

// Makes a file-size limit (ulimit -f) a write error instead of a signal
// that kills the process mid-download: on POSIX SIGXFSZ gets a handler that
// does nothing, which exec resets, so launched installers keep the default.
// Nothing to do on Windows.
void PrepareProcess();

}  // namespace solvane
