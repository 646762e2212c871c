// Opt-in hardening, read from the registry at load next to
// "ListSubRootLevel". Both settings are off unless an administrator turns
// them on, so the driver's default behaviour stands:
//   "RequestTimeoutSeconds" (DWORD): how long a request may wait for the
//     client's acknowledgement and answer together; 0 or missing: for ever.
//   "RestrictPortsToAdministrators" (DWORD): non-zero: the four ports admit
//     only SYSTEM and Administrators instead of every local user.
#pragma once

#include <fltKernel.h>

namespace tavo {

struct HardeningSettings {
  LONGLONG RequestTimeout;  // 100-nanosecond units; 0: no limit
  BOOLEAN AdministratorsOnlyPorts;
};

// A plain aggregate, reset and filled by ReadHardeningSettings at load.
extern HardeningSettings Hardening;

void ReadHardeningSettings();

// The time a request has left, measured on the interrupt clock from its
// start, so that the acknowledgement and the answer share one limit.
class RequestDeadline {
 public:
  // `limit` (100-nanosecond units; 0: none) bounds the request further.
  explicit RequestDeadline(LONGLONG limit = 0);
  RequestDeadline(const RequestDeadline&) = delete;
  RequestDeadline& operator=(const RequestDeadline&) = delete;

  // The relative time-out for the next wait, or null when there is no limit.
  [[nodiscard]] PLARGE_INTEGER Remaining();

 private:
  LONGLONG limit_;
  ULONGLONG start_;
  LARGE_INTEGER timeout_;
};

}  // namespace tavo
