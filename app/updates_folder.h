// The updates folder's files: which are the program's own, and housekeeping
// of those it named itself. The lock and the state are in app/updates_run.h.
#pragma once

#include <cstdint>
#include <string>

#include "state/state_file.h"

namespace solvane {

// Whether the UTF-8 paths `a` and `b` from the state file name the same
// entry: compared after normalisation ("Updates/./x" is "Updates/x"), or by
// file identity when both exist.
[[nodiscard]] bool SamePath(const std::string& a, const std::string& b);

// Whether `path` (the program's narrow form) names a regular file directly
// inside the updates folder, the folder compared after resolving links, that
// is not itself a link and does not carry a reserved name. False on any error.
[[nodiscard]] bool IsOwnInstallerFile(const std::string& path);

// Whether the file at `path` is still the installer that was staged: it is
// one of our own files and, when `sha256` is not "", its content matches.
[[nodiscard]] bool StagedFileVerifies(const std::string& path, const std::string& sha256);

// Deletes the installer that the UTF-8 path `installer_utf8` names when it
// is one of our own files (IsOwnInstallerFile); anything else stays.
// True when it had to wait for another program holding the file (on Windows
// a scanner may, for a moment).
bool RemoveOwnInstaller(const std::string& installer_utf8);

// Whether the UTF-8 path `path` names a file that `state` records as a
// launched installer, or as the staged installer or the base with another
// digest than `sha256`: a download of other bytes must not land there.
[[nodiscard]] bool IsRecordedInstaller(const Json& state, const std::string& path,
                                       const std::string& sha256);

// Notes in `state` that the installer at `installer_utf8` was started at
// `now`, so that a later run removes it.
void RememberLaunched(Json& state, const std::string& installer_utf8, std::int64_t now);

// Notes in `state` that the installer at `installer_utf8`, release `version`
// verified against `sha256`, was started at `now`. With a digest it becomes
// the base of the next delta update and stays; the base it replaces is
// removed as a launched installer would be. Without one it is only launched.
void RememberStarted(Json& state, const std::string& installer_utf8, const std::string& version,
                     const std::string& sha256, std::int64_t now);

// Removes what earlier runs left behind: launched installers more than a day
// old (never the one `state` still has staged, nor the base), temporary
// state files of an interrupted save more than a minute old, and a delta's
// patch more than an hour old. True when `state` changed and should be saved.
[[nodiscard]] bool TidyUpdatesFolder(Json& state, std::int64_t now);

// Removes every partial download in the updates folder except the one named
// `keep_name` (the UTF-8 file name; "" keeps none) and those that another
// download holds locked. True when none was held elsewhere.
bool RemovePartialDownloads(const std::string& keep_name);

// Removes the partial file at `path` unless another download holds it
// locked. True when nothing is left there.
bool RemovePartialFile(const std::string& path);

}  // namespace solvane
