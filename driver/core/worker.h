// The driver's own system thread, which purges expired short names.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Period of the purge, in 100-nanosecond units (relative: negative).
inline constexpr LONGLONG kWorkerPeriod = -300000000;

// Starts the worker; a failure leaves the driver without its purge.
void StartWorkerThread();

// Asks the worker to stop and waits until it has (when it was started).
void StopWorkerThread();

}  // namespace tavo
