// The held file's handle, shared by the Windows files that act on it.
#pragma once

#include <windows.h>

namespace solvane {

struct HeldFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

}  // namespace solvane
