// The three jobs of the program; each returns the process exit code.
#pragma once

#include <string>

#include "app/release_source.h"

namespace solvane {

// Fresh install with the progress window: 0 when the installer was launched.
int RunInstall(const ReleaseSource& source);

// Silent daily update check that stages a newer verified installer. Always 0.
int RunCheck(const ReleaseSource& source, const std::string& current_version, bool force);

// Launches the staged installer: 0 when it was launched, 1 otherwise.
int RunApply(const ReleaseSource& source);

}  // namespace solvane
