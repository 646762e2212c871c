// The decision every create goes through before the file system sees it.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Decides what the create becomes: passed through (with or without a
// post-create and its completion name), redirected to the local copy under
// BackendRoot (STATUS_REPARSE), opened virtually by the driver, or failed.
FLT_PREOP_CALLBACK_STATUS DecideCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                       PVOID* completionContext);

}  // namespace tavo
