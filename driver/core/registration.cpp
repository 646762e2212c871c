// The registration record, the operation table and DriverEntry.
#include <fltKernel.h>

#include "../channel/ports.h"
#include "../create/contexts.h"
#include "../setinfo/rename_reservation.h"
#include "../support/pool.h"
#include "callbacks.h"
#include "globals.h"
#include "hardening.h"
#include "worker.h"

namespace tavo {
namespace {

constexpr FLT_CONTEXT_REGISTRATION Context(FLT_CONTEXT_TYPE type,
                                           PFLT_CONTEXT_CLEANUP_CALLBACK cleanup, SIZE_T size) {
  return FLT_CONTEXT_REGISTRATION{type, 0, cleanup, size, kPoolTag, nullptr, nullptr, nullptr};
}

const FLT_CONTEXT_REGISTRATION kContexts[] = {
    Context(FLT_STREAMHANDLE_CONTEXT, StreamHandleContextCleanup, kStreamHandleContextSize),
    Context(FLT_STREAM_CONTEXT, StreamContextCleanup, kStreamContextSize),
    Context(FLT_CONTEXT_END, nullptr, 0)};

constexpr FLT_OPERATION_REGISTRATION Operation(UCHAR major, PFLT_PRE_OPERATION_CALLBACK pre,
                                               PFLT_POST_OPERATION_CALLBACK post) {
  return FLT_OPERATION_REGISTRATION{major, 0, pre, post, nullptr};
}

// Query-open, directory control and query-security pass through or complete
// in their pre-operations and never ask for a post-operation, so none is
// registered for them: a do-nothing post-operation there could never run.
const FLT_OPERATION_REGISTRATION kOperations[] = {
    Operation(IRP_MJ_CREATE, FilterPreCreateOperationCallback, FilterPostCreateOperationCallback),
    Operation(IRP_MJ_CLOSE, FilterPreCloseOperationCallback, FilterPostCloseOperationCallback),
    Operation(IRP_MJ_NETWORK_QUERY_OPEN, FilterPreNetworkQueryOpenOperationCallback, nullptr),
    Operation(IRP_MJ_QUERY_INFORMATION, FilterPreQueryInformationOperationCallback,
              FilterPostQueryInformationOperationCallback),
    Operation(IRP_MJ_SET_INFORMATION, FilterPreSetInformationOperationCallback,
              FilterPostSetInformationOperationCallback),
    Operation(IRP_MJ_DIRECTORY_CONTROL, FilterPreDirectoryControlOperationCallback, nullptr),
    Operation(IRP_MJ_SHUTDOWN, FilterPreShutdownOperationCallback, nullptr),
    Operation(IRP_MJ_CLEANUP, FilterPreCleanupOperationCallback,
              FilterPostCleanupOperationCallback),
    Operation(IRP_MJ_QUERY_SECURITY, FilterPreQuerySecurityOperationCallback, nullptr),
    Operation(IRP_MJ_FILE_SYSTEM_CONTROL, FilterPreVolumeOperationCallback, nullptr),
    Operation(IRP_MJ_DEVICE_CONTROL, FilterPreDeviceControlOperationCallback, nullptr),
    Operation(IRP_MJ_QUERY_VOLUME_INFORMATION, FilterPreVolumeOperationCallback, nullptr),
    Operation(IRP_MJ_SET_VOLUME_INFORMATION, FilterPreVolumeOperationCallback, nullptr),
    Operation(IRP_MJ_READ, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_WRITE, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_QUERY_EA, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_SET_EA, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_FLUSH_BUFFERS, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_SET_SECURITY, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_ACQUIRE_FOR_MOD_WRITE, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_RELEASE_FOR_MOD_WRITE, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_ACQUIRE_FOR_CC_FLUSH, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_RELEASE_FOR_CC_FLUSH, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_MDL_READ, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_MDL_READ_COMPLETE, FilterUnHandledOperation, nullptr),
    // Byte-range locks on the driver's own handles would otherwise reach a
    // file system that never opened them.
    Operation(IRP_MJ_LOCK_CONTROL, FilterUnHandledOperation, nullptr),
    Operation(IRP_MJ_OPERATION_END, nullptr, nullptr)};

// The filter stays on every volume it is offered; the configuration command
// attaches it to the merged view's volume explicitly.
NTSTATUS FLTAPI InstanceSetup(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_SETUP_FLAGS, DEVICE_TYPE,
                       FLT_FILESYSTEM_TYPE) {
  return STATUS_SUCCESS;
}

void FLTAPI InstanceTeardown(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS) {}

const FLT_REGISTRATION kRegistration = {
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0202,
    0,
    kContexts,
    kOperations,
    TavoClientMergedViewUnload,
    InstanceSetup,
    TavoClientMergedViewInstanceQueryTeardown,
    InstanceTeardown,
    InstanceTeardown,
    FilterGenerateFileName,
    FilterNormalizeNameComponent,
    nullptr,  // no normalize-context cleanup
    nullptr,  // no transaction notification
    FilterNormalizeNameComponentEx,
    nullptr,  // no section notification
};

void InitializeLocksAndTables() {
  ExInitializeResourceLite(&Globals.OpenHandleTableLock);
  ExInitializeResourceLite(&Globals.RootPathLock);
  ExInitializeResourceLite(&Globals.BlockListLock);
  ExInitializeResourceLite(&Globals.AllowListLock);
  ExInitializeResourceLite(&Globals.StreamContextLock);
  ExInitializeResourceLite(&Globals.ShortNameTableLock);
  ExInitializeResourceLite(&Globals.ItemInfoCacheLock);
  Globals.LocksInitialized = TRUE;

  RtlInitializeUnicodePrefix(&Globals.OpenHandleTable);
  RtlInitializeUnicodePrefix(&Globals.BlockedProcessTable);
  RtlInitializeUnicodePrefix(&Globals.NoListingProcessTable);
  RtlInitializeUnicodePrefix(&Globals.AllowedProcessTable);
  RtlInitializeUnicodePrefix(&Globals.ItemInfoCache);
  RtlInitializeUnicodePrefix(&Globals.ShortNameTable);
  InitializeRenameReservations();

  InitializeListHead(&Globals.PendingRequestList);
  KeInitializeSpinLock(&Globals.PendingRequestListLock);
  KeInitializeMutex(&Globals.ReplyMutex, 0);
  KeInitializeSpinLock(&Globals.ListingPageLock);
}

// Reads "ListSubRootLevel"; a missing key or value leaves the flag clear.
void ReadListSubRootLevel() {
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE query[2] = {};
  query[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  query[0].Name = const_cast<PWSTR>(L"ListSubRootLevel");
  query[0].EntryContext = &value;
  query[0].DefaultType = REG_DWORD;
  query[0].DefaultData = nullptr;
  query[0].DefaultLength = 0;
  const NTSTATUS status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo",
                             query, nullptr, nullptr);
  if (NT_SUCCESS(status) && value != 0) WriteFlag(Globals.ListSubRootLevelFlag, 1);
}

}  // namespace

// Starts the channel and the worker; failures leave the driver running
// without them.
static void StartChannelAndWorker() {
  KeInitializeEvent(&Globals.WorkerWakeEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Globals.WorkerExitEvent, NotificationEvent, FALSE);
  (void)CreateCommunicationPorts();
  StartWorkerThread();
}

}  // namespace tavo

using namespace tavo;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);

  // Globals may hold values from an earlier load of the image.
  Globals = DriverGlobals{};
  Globals.VolumePrefixLength = kDefaultVolumePrefixLength;
  Globals.FilterHandle = nullptr;
  WriteFlag(Globals.WorkerStopFlag, 0);
  ReadHardeningSettings();  // before the ports, whose security it decides

  NTSTATUS status = FltRegisterFilter(DriverObject, &kRegistration, &Globals.FilterHandle);
  if (NT_SUCCESS(status)) {
    InitializeLocksAndTables();
    status = FltStartFiltering(Globals.FilterHandle);
    if (NT_SUCCESS(status)) {
      StartChannelAndWorker();
    } else {
      FltUnregisterFilter(Globals.FilterHandle);
      Globals.FilterHandle = nullptr;
      DeleteLocks();
    }
  } else {
    Globals.FilterHandle = nullptr;
  }

  ReadListSubRootLevel();
  return status;
}
