// The Windows store of the machine administrator's policy values.
#pragma once

#include "platform/machine_policy.h"

namespace solvane {

// The policy key under HKLM and under HKCU, as Windows policy tools write it.
inline constexpr const wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Korrinwade\\Solvane";

// The values under HKLM's policy key, then those under HKCU's (the machine's
// first). A missing key is no policy; one that cannot be opened or read is
// a problem.
[[nodiscard]] PolicyValues ReadRegistryPolicy();

}  // namespace solvane
