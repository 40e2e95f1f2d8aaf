// The updates folder as the program's own place: one process at a time, and
// housekeeping of the files the program named itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/file_lock.h"
#include "state/state_file.h"

namespace solvane {

// The lock on the updates folder, waiting a few seconds for another
// SolvaneSetup to finish. It guards reading and changing the state file and
// the folder, never a transfer. Throws as UpdatesDirectory does.
[[nodiscard]] LockAttempt LockUpdatesFolder();

// Why `attempt` holds no lock, for the log: "another SolvaneSetup is busy",
// or "cannot lock the updates folder: <the system's text>".
[[nodiscard]] std::string LockProblem(const LockAttempt& attempt);

// LoadState, `change` and SaveState under a short hold of the folder's lock.
// False when the lock or the save failed; nothing is written then.
bool ChangeStateLocked(const std::function<void(Json&)>& change);

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
void RemoveOwnInstaller(const std::string& installer_utf8);

// Notes in `state` that the installer at `installer_utf8` was started at
// `now`, so that a later run removes it.
void RememberLaunched(Json& state, const std::string& installer_utf8, std::int64_t now);

// Removes what earlier runs left behind: launched installers more than a day
// old (never the one `state` still has staged) and temporary state files of
// an interrupted save more than a minute old. True when `state` changed and
// should be saved.
[[nodiscard]] bool TidyUpdatesFolder(Json& state, std::int64_t now);

// Removes every partial download in the updates folder except the one named
// `keep_name` (the UTF-8 file name; "" keeps none) and those that another
// download holds locked. True when none was held elsewhere.
bool RemovePartialDownloads(const std::string& keep_name);

// Removes the partial file at `path` unless another download holds it
// locked. True when nothing is left there.
bool RemovePartialFile(const std::string& path);

}  // namespace solvane
