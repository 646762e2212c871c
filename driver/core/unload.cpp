// Instance query-teardown and filter unload. Both refuse while server-only
// items are open (entries of OpenHandleTable), unless the unload is
// mandatory; unload then releases everything the driver created.
#include "../channel/ports.h"
#include "../channel/request_exchange.h"
#include "../create/create_screen.h"
#include "../create/open_handle_table.h"
#include "../create/requestor.h"
#include "../create/virtual_open.h"
#include "../dirctl/listing_pages.h"
#include "../setinfo/item_info_cache.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../support/locks.h"
#include "../tables/process_lists.h"
#include "../tables/short_name_cache.h"
#include "callbacks.h"
#include "globals.h"
#include "worker.h"

namespace tavo {
namespace {

// Reports the openers of every server-only item; the caller holds
// OpenHandleTableLock. Returns whether the table has entries.
bool ReportOpenHandles(bool unloading) {
  if (RtlNextUnicodePrefix(&Globals.OpenHandleTable, TRUE) == nullptr) return false;
  TAVO_PRINT("TavoClientMergedViewInstanceQueryTeardown: Cannot detach\n");
  ForEachOpener([unloading](OpenHandleEntry& entry, OpenerRecord& opener) {
    OwnedString processName;
    GetProcessImageName(&processName, opener.ProcessHandleId);
    if (unloading) {
      TAVO_PRINT("TavoClientMergedViewUnload: Process %wZ has an open handle to file/folder %wZ\n",
                 &processName.Get(), &entry.Path);
    } else {
      TAVO_PRINT("Process %wZ has an open handle to file/folder %wZ\n", &processName.Get(),
                 &entry.Path);
    }
    return true;
  });
  return true;
}

}  // namespace

NTSTATUS TavoClientMergedViewInstanceQueryTeardown(PCFLT_RELATED_OBJECTS FltObjects,
                                                   FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags) {
  UNREFERENCED_PARAMETER(FltObjects);
  UNREFERENCED_PARAMETER(Flags);
  ExclusiveLock lock(Globals.OpenHandleTableLock);
  if (ReportOpenHandles(false)) {
    return STATUS_FLT_DO_NOT_DETACH;
  }
  TAVO_PRINT("TavoClientMergedViewInstanceQueryTeardown: OK to teardown\n");
  return STATUS_SUCCESS;
}

// The order differs from a literal "stop, empty, close, delete, then
// unregister": a refused unload changes nothing (the worker keeps purging,
// the caches stay), and nothing the driver owns is freed or deleted before
// FltUnregisterFilter has drained every callback still running, on any
// volume. Unregistering first is the documented order for a minifilter's
// unload: close the server ports, unregister, then free the global state.
NTSTATUS TavoClientMergedViewUnload(FLT_FILTER_UNLOAD_FLAGS Flags) {
  const bool mandatory = (Flags & FLTFL_FILTER_UNLOAD_MANDATORY) != 0;
  bool handlesOpen;
  {
    ExclusiveLock lock(Globals.OpenHandleTableLock);
    handlesOpen = ReportOpenHandles(true);
    if (!handlesOpen || mandatory) Globals.Unloading = TRUE;
  }
  if (handlesOpen) {
    if (!mandatory) return STATUS_FLT_DO_NOT_DETACH;
    TAVO_PRINT(
        "TavoClientMergedViewUnload: Unloading Driver Forcefully in spite of open handles\n");
  }

  StopWorkerThread();
  // The client can still be asked for the deletes the worker could not.
  RetryOwedServerDeletes(true);
  CloseCommunicationPorts();
  // No answer can arrive any more: waits still pending end now, and the
  // records of abandoned waits are freed.
  FailPendingRequests(STATUS_PORT_DISCONNECTED);
  ReleaseAttachedVolume();
  FltUnregisterFilter(Globals.FilterHandle);
  Globals.FilterHandle = nullptr;

  // No callback runs any more: the tables, roots and locks can go.
  EmptyShortNameTable();
  EmptyItemInfoCache();
  EmptyListingPages();
  // The process lists are freed too: nothing may outlive the driver.
  {
    ExclusiveLock lock(Globals.BlockListLock);
    EmptyBlockedProcessTable(&Globals.BlockedProcessTable);
    EmptyProcessNameTable(&Globals.NoListingProcessTable);
  }
  {
    ExclusiveLock lock(Globals.AllowListLock);
    EmptyProcessNameTable(&Globals.AllowedProcessTable);
  }
  {
    ExclusiveLock lock(Globals.RootPathLock);
    FreeStringBuffer(Globals.BackendRoot);
    FreeStringBuffer(Globals.MergedViewRoot);
    FreeStringBuffer(Globals.SecondaryViewRoot);
    PublishRootLengths(0);
  }
  DeleteLocks();
  return STATUS_SUCCESS;
}

}  // namespace tavo
