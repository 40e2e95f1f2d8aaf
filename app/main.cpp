// Entry point: collects the arguments as UTF-8 and hands them to RunProgram
// with this build's release identity.
#include <string>
#include <vector>

#include "app/program.h"
#include "release_keys.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/command_line_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const solvane::ReleaseSource source{SOLVANE_RELEASE_BASE_URL,    SOLVANE_PLATFORM_KEY,
                                      SOLVANE_RELEASE_PUBLIC_KEYS, SOLVANE_CHECK_SPREAD_SECONDS,
                                      SOLVANE_ROOT_PUBLIC_KEYS,    SOLVANE_ROOT_THRESHOLD,
                                      SOLVANE_PUBLISHER_NAMES,     SOLVANE_PUBLISHER_PINS};
  return solvane::RunProgram(solvane::CommandLineArguments(), source);
}

#else

int main(int argc, char** argv) {
  const solvane::ReleaseSource source{SOLVANE_RELEASE_BASE_URL,    SOLVANE_PLATFORM_KEY,
                                      SOLVANE_RELEASE_PUBLIC_KEYS, SOLVANE_CHECK_SPREAD_SECONDS,
                                      SOLVANE_ROOT_PUBLIC_KEYS,    SOLVANE_ROOT_THRESHOLD,
                                      SOLVANE_PUBLISHER_NAMES,     SOLVANE_PUBLISHER_PINS};
  return solvane::RunProgram(std::vector<std::string>(argv, argv + argc), source);
}

#endif
