// A fresh folder under the system's temporary directory, removed afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace solvane::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// Whole content of a file ("" when missing).
std::string ReadFile(const std::filesystem::path& path);

// Writes `content` to `path` (binary), creating parent folders.
void WriteFile(const std::filesystem::path& path, const std::string& content);

}  // namespace solvane::testing
