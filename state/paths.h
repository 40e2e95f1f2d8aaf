// The program's folders. DataDirectory is set once at start-up; every other
// folder is derived from it and created on demand.
#pragma once

#include <string>

namespace solvane {

// Sets the process-wide DataDirectory; called once, before any workflow.
void SetDataDirectory(std::string directory);

// The per-user root under which everything the program writes lives.
const std::string& DataDirectory();

// DataDirectory + "/Updates", creating it and its parents on every call.
// Throws std::filesystem::filesystem_error ("create_directories") on failure.
std::string UpdatesDirectory();

// UpdatesDirectory() + "/Updates.json"; throws as UpdatesDirectory does.
std::string StateFilePath();

// UpdatesDirectory() + "/Trust.json"; throws as UpdatesDirectory does.
std::string TrustFilePath();

// Creates `directory` and every missing parent. Throws
// std::filesystem::filesystem_error ("create_directories") on failure.
void CreateDirectoryChain(const std::string& directory);

}  // namespace solvane
