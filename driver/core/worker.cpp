// The worker thread: wakes every 30 seconds to purge expired short names
// and to ask for the server deletes last closes owe, until unload sets
// WorkerStopFlag.
#include "worker.h"

#include "../create/virtual_open.h"
#include "../tables/short_name_cache.h"
#include "globals.h"

namespace tavo {
namespace {

void NTAPI WorkerThread(PVOID) {
  // Unload may have asked for the stop before the thread first ran; it still
  // waits for the exit event, so the event is set on every way out.
  while (!ReadFlag(Globals.WorkerStopFlag) && Globals.FilterHandle != nullptr) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kWorkerPeriod;
    (void)KeWaitForSingleObject(&Globals.WorkerWakeEvent, Executive, KernelMode, TRUE, &timeout);
    if (ReadFlag(Globals.WorkerStopFlag)) break;
    PurgeExpiredShortNames();
    RetryOwedServerDeletes(false);
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
  // The thread object is kept referenced so that unload can wait for the
  // thread itself to end, not only for its last event: the instructions
  // after KeSetEvent still run in the driver's image.
  PVOID object = nullptr;
  if (NT_SUCCESS(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                           &object, nullptr))) {
    Globals.WorkerThreadObject = object;
  }
  ZwClose(thread);
  Globals.WorkerStarted = TRUE;
}

void StopWorkerThread() {
  WriteFlag(Globals.WorkerStopFlag, 1);
  KeSetEvent(&Globals.WorkerWakeEvent, 0, FALSE);
  if (!Globals.WorkerStarted) return;
  // Neither alertable nor timed: the wait ends only when the worker has
  // ended, so unload never goes on while the worker still runs.
  PVOID waitFor = Globals.WorkerThreadObject != nullptr ? Globals.WorkerThreadObject
                                                        : &Globals.WorkerExitEvent;
  (void)KeWaitForSingleObject(waitFor, Executive, KernelMode, FALSE, nullptr);
  if (Globals.WorkerThreadObject != nullptr) ObDereferenceObject(Globals.WorkerThreadObject);
  Globals.WorkerThreadObject = nullptr;
  Globals.WorkerStarted = FALSE;
}

}  // namespace tavo
