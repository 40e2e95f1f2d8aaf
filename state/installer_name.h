// The local file name of a downloaded installer.
#pragma once

#include <optional>
#include <string>

namespace solvane {

// The last segment of the URL's path, without query or fragment; `fallback`
// when the URL holds no '/'. nullopt when the name is not safe to create in
// the updates folder: empty, "." or "..", a control character, a character
// that Windows forbids in names (<>:"/\|?*), a trailing dot or space, or a
// Windows device name such as CON or LPT1, a name IsReservedName refuses, or
// one too long to be downloaded under its name plus ".partial" (255 bytes).
[[nodiscard]] std::optional<std::string> InstallerFileName(const std::string& url,
                                                           const std::string& fallback);

// `name` with "-<version>" before its extension ("Setup.exe", "2.1.0":
// "Setup-2.1.0.exe"): the name of a release's installer whose own name a
// file of another release holds. nullopt when that name is not safe, as
// InstallerFileName judges names.
[[nodiscard]] std::optional<std::string> VersionedInstallerName(const std::string& name,
                                                                const std::string& version);

// Whether `name`, compared without regard to case, is one the program keeps
// for itself in the updates folder: the state file, the activity log, the
// kept manifest and its signature, their temporary files (any name
// continuing theirs after a '.'), the lock file, a delta's patch, a
// partial download ("*.partial"), or a Windows short alias ("~1") that could
// stand for any of them.
[[nodiscard]] bool IsReservedName(const std::string& name);

}  // namespace solvane
