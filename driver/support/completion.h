// Completing an operation in its pre-operation callback.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Sets the operation's status and Information and tells the Filter Manager
// the driver completed it.
inline FLT_PREOP_CALLBACK_STATUS CompleteOperation(PFLT_CALLBACK_DATA data, NTSTATUS status,
                                                   ULONG_PTR information = 0) {
  data->IoStatus.Status = status;
  data->IoStatus.Information = information;
  return FLT_PREOP_COMPLETE;
}

}  // namespace tavo
