#include "state/paths.h"

#include <filesystem>
#include <system_error>

#include "constants.h"
#include "platform/fs.h"

namespace solvane {
namespace {

// The program's folder below the data directory.
constexpr const char kUpdatesFolder[] = "/Updates";

std::string& DataDirectoryStorage() {
  static std::string directory;
  return directory;
}

}  // namespace

void SetDataDirectory(std::string directory) { DataDirectoryStorage() = std::move(directory); }

const std::string& DataDirectory() { return DataDirectoryStorage(); }

void CreateDirectoryChain(const std::string& directory) {
  const std::filesystem::path path = ToFsPath(directory);
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  // create_directories reports success for an existing directory but an error
  // (or nothing at all, on some libraries) for an existing plain file.
  if (!ec && !std::filesystem::is_directory(path, ec) && !ec) {
    ec = std::make_error_code(std::errc::not_a_directory);
  }
  if (ec) throw std::filesystem::filesystem_error("create_directories", path, ec);
}

std::string UpdatesDirectory() {
  std::string directory = DataDirectory() + kUpdatesFolder;
  CreateDirectoryChain(directory);
  return directory;
}

std::string StateFilePath() { return UpdatesDirectory() + kStateFileName; }

std::string TrustFilePath() { return UpdatesDirectory() + kTrustFileName; }

}  // namespace solvane
