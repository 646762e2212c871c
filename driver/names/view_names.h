// Names of the merged view composed by the driver itself.
#pragma once

#include <fltKernel.h>

#include "../support/counted_string.h"

namespace tavo {

// The full device path a create's file object names on the merged view's
// volume: its name joined to its related directory's (a directory the
// driver serves named from its handle context on `instance`), behind the
// volume's device name. STATUS_INVALID_ADDRESS for an empty name, and
// STATUS_INSUFFICIENT_RESOURCES, STATUS_NAME_TOO_LONG or
// STATUS_OBJECT_NAME_NOT_FOUND (no root configured) when it cannot be made.
NTSTATUS ComposeCreateName(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, OwnedString* name);

}  // namespace tavo
