// Where per-user application data lives on this OS.
#pragma once

#include <optional>
#include <string>

namespace solvane {

// The per-user application-data folder with '/' separators (may be ""), or
// nullopt when the OS cannot tell.
[[nodiscard]] std::optional<std::string> UserDataFolder();

// Why UserDataFolder has no answer, in words for the user.
const char* NoUserDataFolderReason();

}  // namespace solvane
