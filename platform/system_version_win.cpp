#include <windows.h>

#include <string>

#include "platform/system_version.h"

namespace solvane {
namespace {

using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);

}  // namespace

// GetVersionEx answers what the program's compatibility manifest lets it
// see; RtlGetVersion answers what the system is.
SystemVersion ReadSystemVersion() {
  SystemVersion system{"Windows", ""};
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return system;
  const auto get_version = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
  if (get_version == nullptr) return system;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (get_version(&info) != 0) return system;
  system.version = std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) +
                   "." + std::to_string(info.dwBuildNumber);
  return system;
}

}  // namespace solvane
