#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <shellapi.h>

#include <cstdint>

#include "platform/launch.h"

namespace solvane {

// The shell's "open" verb, as a double click in Explorer would start the
// file. ShellExecuteA reports success as a value above 32.
bool OpenWithShell(const std::string& path) {
  const HINSTANCE result =
      ::ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<std::intptr_t>(result) > 32;
}

}  // namespace solvane
