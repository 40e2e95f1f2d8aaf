// The local file name of a downloaded installer.
#pragma once

#include <optional>
#include <string>

namespace solvane {

// The last segment of the URL's path, without query or fragment; `fallback`
// when the URL holds no '/'. nullopt when the name is not safe to create in
// the updates folder: empty, "." or "..", a control character, a character
// that Windows forbids in names (<>:"/\|?*), a trailing dot or space, or a
// Windows device name such as CON or LPT1.
std::optional<std::string> InstallerFileName(const std::string& url, const std::string& fallback);

}  // namespace solvane
