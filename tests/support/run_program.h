// Runs the test build of the real program (release server on loopback) in a
// home folder of the test's own.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace solvane::testing {

struct ProgramRun {
  int exit_code = -1;
  std::string stderr_text;
  // The program's peak resident memory, or what the test process held when
  // it started the program when that is more (Linux counts both).
  long peak_rss_kib = 0;
};

// Runs the program with `args` (without the program path), HOME = `home`,
// XDG_DATA_HOME, DISPLAY and libcurl's proxy variables unset unless `env`
// sets them; `env` entries with an empty value are removed from the
// environment. A `file_size_limit_kib` above 0 starts it under that
// `ulimit -f` (through /bin/sh).
ProgramRun RunProgram(const std::string& home, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      long file_size_limit_kib = 0);

// The same for another build of the program at `program`.
ProgramRun RunProgramAt(const std::string& program, const std::string& home,
                        const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env = {});
// As RunProgram, but kills the program (SIGKILL) once `kill_when` holds,
// asking it every 10 ms; a program that ends first is waited for as usual.
ProgramRun RunProgramKilledWhen(const std::string& home, const std::vector<std::string>& args,
                                const std::function<bool()>& kill_when);

// Tests that need file permissions to hold run their child as an
// unprivileged user ("nobody") when the suite runs as root, as CI does;
// otherwise as the user running the tests. The three below do nothing more
// than that when the suite is not root.

// Hands `path` and everything below it to that user, so that the child can
// reach and write what the test prepared for it.
void GiveToUnprivilegedUser(const std::filesystem::path& path);

// Switches this process (a forked child) to that user. False on failure.
[[nodiscard]] bool DropToUnprivilegedUser();

// As RunProgram, started through setpriv as that user.
ProgramRun RunProgramUnprivileged(const std::string& home, const std::vector<std::string>& args);

// The folder the program keeps its files in for that home.
std::string UpdatesDirIn(const std::string& home);

}  // namespace solvane::testing
