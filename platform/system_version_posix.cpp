#include <gnu/libc-version.h>

#include "platform/system_version.h"

namespace solvane {

// A Linux build's floor is the C library it was linked against: the kernel
// rarely matters, glibc's symbol versions always do.
SystemVersion ReadSystemVersion() { return {"glibc", gnu_get_libc_version()}; }

}  // namespace solvane
