// A kernel-addressable view of an operation's caller buffer.
#pragma once

#include <fltKernel.h>

namespace tavo {

// The caller buffer of the operation in Data, addressable from any thread
// context: the request's MDL mapped to system space when it has one, a
// user buffer locked and mapped when the caller is user mode, the raw
// pointer when the caller is kernel mode. Null when the operation has no
// such buffer or it cannot be locked or mapped. Query information always
// yields its (system) buffer as it is. Only the operations the driver
// answers itself are known: directory queries, security and information
// queries, and device controls.
PVOID GetOperationBuffer(PFLT_CALLBACK_DATA Data);

}  // namespace tavo
