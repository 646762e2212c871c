// What a Linux program is told for an NT status: the errno a user expects
// for the failure (not found, access denied, exists, not empty, ...).
#pragma once

#include <ntapi.h>

namespace tavo::tool {

// 0 for a success; EIO for a failure no row names.
int ErrnoFor(NTSTATUS status);

}  // namespace tavo::tool
