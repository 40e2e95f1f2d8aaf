// The three jobs of the program; each returns the process exit code. Each
// takes the run the entry opened, whose folder it locks when it needs it.
#pragma once

#include "app/command_line.h"
#include "app/release_source.h"
#include "app/updates_run.h"

namespace solvane {

// Fresh install with the progress window: 0 when the installer was launched.
int RunInstall(UpdatesRun& run, const ReleaseSource& source);

// Silent daily update check that stages a newer verified installer. Always 0.
int RunCheck(UpdatesRun& run, const ReleaseSource& source, const CheckRequest& request);

// Launches the staged installer: 0 when it was launched, 1 otherwise.
int RunApply(UpdatesRun& run, const ReleaseSource& source);

}  // namespace solvane
