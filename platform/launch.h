// Starting a downloaded installer the way the desktop opens a file.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace solvane {

struct HeldFile;
struct HeldFileDeleter {
  void operator()(HeldFile* file) const noexcept;
};
using HeldFileHandle = std::unique_ptr<HeldFile, HeldFileDeleter>;

// Opens the regular file at `path` for reading and holds it until the handle
// is destroyed, so that what is read through it is what LaunchHeldFile starts:
// on Windows nobody may write, rename or delete the file meanwhile; elsewhere
// the open descriptor itself is what runs. Null when the last component is a
// link, the entry is not a regular file, or it cannot be opened; `error`,
// when given, then receives the system's text for why.
[[nodiscard]] HeldFileHandle HoldFile(const std::string& path, std::string* error = nullptr);

// Reads the file's next bytes into `buffer`: the count, 0 at its end, -1 on
// an error.
long long ReadHeldFile(HeldFile& file, void* buffer, std::size_t size);

// Starts the held file (named `path`) with no arguments and does not wait for
// it. True only when the OS really started it; otherwise `error`, when given,
// receives the system's text for what went wrong.
[[nodiscard]] bool LaunchHeldFile(HeldFile& file, const std::string& path,
                                  std::string* error = nullptr);

// HoldFile and LaunchHeldFile in one step, for a file nobody else can have
// changed since it was checked; `error` as for LaunchHeldFile.
[[nodiscard]] bool OpenWithShell(const std::string& path, std::string* error = nullptr);

}  // namespace solvane
