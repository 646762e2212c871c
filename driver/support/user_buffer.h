// The client's buffers of a port message. A message callback's input and
// output buffers are raw memory of the client's process, probed by the
// Filter Manager but not locked: the client can unmap or re-protect them
// at any moment. The driver reads and writes them only through these two
// routines, each one guarded copy that turns a fault into a failure status.
// A fault costs nothing but the status: the guard returns to its caller,
// whose holders (of locks too) end as on any other failure.
#pragma once

#include <fltKernel.h>

// The guarded copy itself is machine code: support/guarded_copy_x64.S on
// Windows, whose unwind data hands a fault inside the copy to the kernel's
// C-specific exception handler. Copies Length bytes and returns
// STATUS_SUCCESS, or returns the exception code of the fault that stopped
// it (bytes before the fault may have been copied).
extern "C" NTSTATUS TavoGuardedCopy(PVOID Destination, const VOID* Source, SIZE_T Length);

namespace tavo {

// STATUS_INVALID_USER_BUFFER when the client's memory faults.
[[nodiscard]] inline NTSTATUS CopyFromUser(void* to, const void* userFrom, SIZE_T length) {
  return NT_SUCCESS(TavoGuardedCopy(to, userFrom, length)) ? STATUS_SUCCESS
                                                            : STATUS_INVALID_USER_BUFFER;
}

[[nodiscard]] inline NTSTATUS CopyToUser(void* userTo, const void* from, SIZE_T length) {
  return NT_SUCCESS(TavoGuardedCopy(userTo, from, length)) ? STATUS_SUCCESS
                                                            : STATUS_INVALID_USER_BUFFER;
}

}  // namespace tavo
