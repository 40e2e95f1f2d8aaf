#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <shlobj.h>

#include <algorithm>

#include "platform/user_folders.h"

namespace solvane {

// The roaming application-data folder, in the ANSI code page as the 8-bit
// shell call returns it.
std::optional<std::string> UserDataFolder() {
  char buffer[MAX_PATH] = {};
  const HRESULT result = ::SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, buffer);
  if (result < 0) return std::nullopt;
  std::string folder(buffer);
  std::replace(folder.begin(), folder.end(), '\\', '/');
  return folder;
}

const char* NoUserDataFolderReason() {
  return "the shell does not name the roaming application-data folder";
}

}  // namespace solvane
