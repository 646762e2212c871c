// The worker thread: wakes every 30 seconds to purge expired short names,
// until unload sets WorkerStopFlag.
#include "worker.h"

#include "../tables/short_name_cache.h"
#include "globals.h"

namespace tavo {
namespace {

void WorkerThread(PVOID) {
  // Unload may have asked for the stop before the thread first ran; it still
  // waits for the exit event, so the event is set on every way out.
  while (!ReadFlag(Globals.WorkerStopFlag) && Globals.FilterHandle != nullptr) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kWorkerPeriod;
    (void)KeWaitForSingleObject(&Globals.WorkerWakeEvent, Executive, KernelMode, TRUE, &timeout);
    if (ReadFlag(Globals.WorkerStopFlag)) break;
    PurgeExpiredShortNames();
  }
  KeSetEvent(&Globals.WorkerExitEvent, 0, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

void StartWorkerThread() {
  HANDLE thread = nullptr;
  const NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr,
                                               nullptr, WorkerThread, nullptr);
  if (!NT_SUCCESS(status)) return;
  ZwClose(thread);
  Globals.WorkerStarted = TRUE;
}

void StopWorkerThread() {
  WriteFlag(Globals.WorkerStopFlag, 1);
  KeSetEvent(&Globals.WorkerWakeEvent, 0, FALSE);
  if (!Globals.WorkerStarted) return;
  // Not alertable: an alert must not let unload go on while the worker
  // still runs. Without a time-out and not alertable, the wait can only end
  // with the event signalled.
  (void)KeWaitForSingleObject(&Globals.WorkerExitEvent, Executive, KernelMode, FALSE, nullptr);
  Globals.WorkerStarted = FALSE;
}

}  // namespace tavo
