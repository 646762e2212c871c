// The routines and data the simulation exports to a driver image, by the
// module that exports them on Windows: ntoskrnl.exe, HAL.dll and
// FLTMGR.SYS. The loader binds an image's imports against these tables by
// name; an import missing here fails the load with its name.
//
// Every routine must use the Windows x64 calling convention (NTAPI), as the
// image calls it that way: ROUTINE refuses to compile otherwise.
#include "loader/kernel_exports.h"

#include <cstring>
#include <fltKernel.h>
#include <ntifs.h>

#include <strings.h>

namespace sim::loader {
namespace {

template <class R, class... A>
constexpr bool UsesWindowsConvention(R(NTAPI*)(A...)) {
  return true;
}
template <class R, class... A>
constexpr bool UsesWindowsConvention(R(NTAPI*)(A..., ...)) {
  return true;
}
constexpr bool UsesWindowsConvention(...) {
  return false;
}

// The compiler names the routine in the failed instantiation.
template <auto Routine>
Export Checked(const char* name) {
  static_assert(UsesWindowsConvention(Routine), "an exported routine must be declared NTAPI");
  return Export{name, reinterpret_cast<const void*>(Routine)};
}

#define ROUTINE(name) Checked<&name>(#name)

// ntoskrnl.exe exports the C runtime's memory routines; the compiler calls
// them for structure copies and zeroing. Here they forward to the host's.
void* NTAPI KernelMemcpy(void* to, const void* from, size_t size) {
  return std::memcpy(to, from, size);
}
void* NTAPI KernelMemmove(void* to, const void* from, size_t size) {
  return std::memmove(to, from, size);
}
void* NTAPI KernelMemset(void* to, int value, size_t size) {
  return std::memset(to, value, size);
}
int NTAPI KernelMemcmp(const void* a, const void* b, size_t size) {
  return std::memcmp(a, b, size);
}

// The language-specific handler that the unwind data of a guarded routine
// names (the driver's guarded copy of client buffers). Windows calls it
// while dispatching an exception raised inside such a routine. The
// simulation's fault handler interprets the routine's scope table itself
// (exception_scopes.h) after checking that it names this routine, so this
// is never called; reaching it would mean a dispatcher the simulation does
// not have.
int NTAPI KernelCSpecificHandler(PVOID exceptionRecord, PVOID establisherFrame, PVOID context,
                                 PVOID dispatcherContext) {
  KeBugCheckEx(0x1E /* KMODE_EXCEPTION_NOT_HANDLED */,
               reinterpret_cast<ULONG_PTR>(exceptionRecord),
               reinterpret_cast<ULONG_PTR>(establisherFrame), reinterpret_cast<ULONG_PTR>(context),
               reinterpret_cast<ULONG_PTR>(dispatcherContext));
}

const Export kNtoskrnl[] = {
    ROUTINE(DbgPrint),
    ROUTINE(DbgPrintEx),
    ROUTINE(ExAcquireFastMutex),
    ROUTINE(ExAcquireResourceExclusiveLite),
    ROUTINE(ExAcquireResourceSharedLite),
    ROUTINE(ExAllocatePool2),
    ROUTINE(ExAllocatePoolWithTag),
    ROUTINE(ExDeleteResourceLite),
    ROUTINE(ExFreePool),
    ROUTINE(ExFreePoolWithTag),
    ROUTINE(ExGetCurrentResourceThread),
    ROUTINE(ExInitializeResourceLite),
    ROUTINE(ExInterlockedInsertHeadList),
    ROUTINE(ExInterlockedInsertTailList),
    ROUTINE(ExInterlockedRemoveHeadList),
    ROUTINE(ExIsResourceAcquiredExclusiveLite),
    ROUTINE(ExIsResourceAcquiredSharedLite),
    ROUTINE(ExReleaseFastMutex),
    ROUTINE(ExReleaseResourceForThreadLite),
    ROUTINE(ExReleaseResourceLite),
    ROUTINE(ExSetResourceOwnerPointer),
    ROUTINE(ExTryToAcquireFastMutex),
    ROUTINE(FsRtlDissectName),
    ROUTINE(FsRtlDoesNameContainWildCards),
    ROUTINE(FsRtlIsNameInExpression),
    ROUTINE(FsRtlTeardownPerStreamContexts),
    ROUTINE(IoAllocateMdl),
    ROUTINE(IoFreeMdl),
    ROUTINE(IoGetCurrentProcess),
    ROUTINE(IoGetTopLevelIrp),
    ROUTINE(IoGetTransactionParameterBlock),
    ROUTINE(IoIsFileObjectIgnoringSharing),
    ROUTINE(IoReplaceFileObjectName),
    ROUTINE(IoSetFileObjectIgnoreSharing),
    ROUTINE(IoSetTopLevelIrp),
    ROUTINE(KeAcquireSpinLockAtDpcLevel),
    ROUTINE(KeAcquireSpinLockRaiseToDpc),
    ROUTINE(KeAreAllApcsDisabled),
    ROUTINE(KeAreApcsDisabled),
    ROUTINE(KeBugCheck),
    ROUTINE(KeBugCheckEx),
    ROUTINE(KeClearEvent),
    ROUTINE(KeDelayExecutionThread),
    ROUTINE(KeEnterCriticalRegion),
    ROUTINE(KeGetCurrentIrql),
    ROUTINE(KeGetCurrentThread),
    ROUTINE(KeInitializeEvent),
    ROUTINE(KeInitializeMutex),
    ROUTINE(KeInitializeSpinLock),
    ROUTINE(KeLeaveCriticalRegion),
    ROUTINE(KeLowerIrql),
    ROUTINE(KeQueryInterruptTime),
    ROUTINE(KeQueryInterruptTimePrecise),
    ROUTINE(KeQuerySystemTime),
    ROUTINE(KeQuerySystemTimePrecise),
    ROUTINE(KeQueryTickCount),
    ROUTINE(KeQueryTimeIncrement),
    ROUTINE(KeRaiseIrqlToDpcLevel),
    ROUTINE(KeReadStateEvent),
    ROUTINE(KeReadStateMutex),
    ROUTINE(KeReleaseMutex),
    ROUTINE(KeReleaseSpinLock),
    ROUTINE(KeReleaseSpinLockFromDpcLevel),
    ROUTINE(KeResetEvent),
    ROUTINE(KeSetEvent),
    ROUTINE(KeTryToAcquireSpinLockAtDpcLevel),
    ROUTINE(KeWaitForMultipleObjects),
    ROUTINE(KeWaitForSingleObject),
    ROUTINE(KfRaiseIrql),
    ROUTINE(MmBuildMdlForNonPagedPool),
    ROUTINE(MmMapLockedPagesSpecifyCache),
    ROUTINE(MmProbeAndLockPages),
    ROUTINE(MmUnlockPages),
    ROUTINE(MmUnmapLockedPages),
    ROUTINE(ObReferenceObjectByHandle),
    ROUTINE(ObfDereferenceObject),
    ROUTINE(ObfReferenceObject),
    ROUTINE(PsCreateSystemThread),
    ROUTINE(PsGetCurrentProcess),
    ROUTINE(PsGetCurrentProcessId),
    ROUTINE(PsGetCurrentProcessSessionId),
    ROUTINE(PsGetCurrentThread),
    ROUTINE(PsGetCurrentThreadId),
    ROUTINE(PsGetProcessId),
    ROUTINE(PsGetThreadId),
    ROUTINE(PsIsSystemThread),
    ROUTINE(PsIsThreadTerminating),
    ROUTINE(PsLookupProcessByProcessId),
    ROUTINE(PsTerminateSystemThread),
    ROUTINE(RtlAbsoluteToSelfRelativeSD),
    ROUTINE(RtlAddAccessAllowedAce),
    ROUTINE(RtlAppendUnicodeStringToString),
    ROUTINE(RtlAppendUnicodeToString),
    ROUTINE(RtlCompareMemory),
    ROUTINE(RtlCompareUnicodeString),
    ROUTINE(RtlCopySid),
    ROUTINE(RtlCopyUnicodeString),
    ROUTINE(RtlCreateAcl),
    ROUTINE(RtlCreateSecurityDescriptor),
    ROUTINE(RtlEqualSid),
    ROUTINE(RtlEqualUnicodeString),
    ROUTINE(RtlFindUnicodePrefix),
    ROUTINE(RtlFreeUnicodeString),
    ROUTINE(RtlGenerate8dot3Name),
    ROUTINE(RtlGetAce),
    ROUTINE(RtlGetDaclSecurityDescriptor),
    ROUTINE(RtlGetGroupSecurityDescriptor),
    ROUTINE(RtlGetOwnerSecurityDescriptor),
    ROUTINE(RtlInitUnicodeString),
    ROUTINE(RtlInitializeSid),
    ROUTINE(RtlInitializeUnicodePrefix),
    ROUTINE(RtlInsertUnicodePrefix),
    ROUTINE(RtlIsNameLegalDOS8Dot3),
    ROUTINE(RtlLengthRequiredSid),
    ROUTINE(RtlLengthSecurityDescriptor),
    ROUTINE(RtlLengthSid),
    ROUTINE(RtlNextUnicodePrefix),
    ROUTINE(RtlPrefixUnicodeString),
    ROUTINE(RtlQueryRegistryValues),
    ROUTINE(RtlRemoveUnicodePrefix),
    ROUTINE(RtlSetDaclSecurityDescriptor),
    ROUTINE(RtlSetGroupSecurityDescriptor),
    ROUTINE(RtlSetOwnerSecurityDescriptor),
    ROUTINE(RtlSubAuthoritySid),
    ROUTINE(RtlUpcaseUnicodeChar),
    ROUTINE(RtlValidAcl),
    ROUTINE(RtlValidSecurityDescriptor),
    ROUTINE(RtlValidSid),
    ROUTINE(ZwClose),
    ROUTINE(ZwCreateFile),
    ROUTINE(ZwFsControlFile),
    ROUTINE(ZwOpenFile),
    ROUTINE(ZwOpenProcess),
    ROUTINE(ZwQueryDirectoryFile),
    ROUTINE(ZwQueryInformationFile),
    ROUTINE(ZwQueryInformationProcess),
    ROUTINE(ZwQueryVolumeInformationFile),
    ROUTINE(ZwReadFile),
    ROUTINE(ZwSetInformationFile),
    ROUTINE(ZwWriteFile),
    ROUTINE(vDbgPrintEx),
    Export{"memcpy", reinterpret_cast<const void*>(&KernelMemcpy)},
    Export{"memmove", reinterpret_cast<const void*>(&KernelMemmove)},
    Export{"memset", reinterpret_cast<const void*>(&KernelMemset)},
    Export{"memcmp", reinterpret_cast<const void*>(&KernelMemcmp)},
    Export{"__C_specific_handler", reinterpret_cast<const void*>(&KernelCSpecificHandler)},
    // Data: the import is the variable's address.
    Export{"PsThreadType", &PsThreadType},
};

const Export kFltmgr[] = {
    ROUTINE(FltAllocateContext),
    ROUTINE(FltAllocateDeferredIoWorkItem),
    ROUTINE(FltAttachVolume),
    ROUTINE(FltBuildDefaultSecurityDescriptor),
    ROUTINE(FltCancelFileOpen),
    ROUTINE(FltCheckAndGrowNameControl),
    ROUTINE(FltClearCallbackDataDirty),
    ROUTINE(FltClose),
    ROUTINE(FltCloseClientPort),
    ROUTINE(FltCloseCommunicationPort),
    ROUTINE(FltCompletePendedPostOperation),
    ROUTINE(FltCompletePendedPreOperation),
    ROUTINE(FltCreateCommunicationPort),
    ROUTINE(FltCreateFileEx),
    ROUTINE(FltCreateFileEx2),
    ROUTINE(FltDeleteContext),
    ROUTINE(FltDetachVolume),
    ROUTINE(FltFreeDeferredIoWorkItem),
    ROUTINE(FltFreeSecurityDescriptor),
    ROUTINE(FltGetDestinationFileNameInformation),
    ROUTINE(FltGetFileNameInformation),
    ROUTINE(FltGetFileNameInformationUnsafe),
    ROUTINE(FltGetFilterFromInstance),
    ROUTINE(FltGetRequestorProcess),
    ROUTINE(FltGetRequestorProcessId),
    ROUTINE(FltGetRequestorProcessIdEx),
    ROUTINE(FltGetRequestorSessionId),
    ROUTINE(FltGetStreamContext),
    ROUTINE(FltGetStreamHandleContext),
    ROUTINE(FltGetVolumeFromInstance),
    ROUTINE(FltGetVolumeFromName),
    ROUTINE(FltGetVolumeInstanceFromName),
    ROUTINE(FltGetVolumeName),
    ROUTINE(FltIsCallbackDataDirty),
    ROUTINE(FltIsOperationSynchronous),
    ROUTINE(FltLockUserBuffer),
    ROUTINE(FltObjectDereference),
    ROUTINE(FltObjectReference),
    ROUTINE(FltParseFileNameInformation),
    ROUTINE(FltQueryInformationFile),
    ROUTINE(FltQuerySecurityObject),
    ROUTINE(FltQueryVolumeInformation),
    ROUTINE(FltQueryVolumeInformationFile),
    ROUTINE(FltQueueDeferredIoWorkItem),
    ROUTINE(FltReferenceContext),
    ROUTINE(FltReferenceFileNameInformation),
    ROUTINE(FltRegisterFilter),
    ROUTINE(FltReleaseContext),
    ROUTINE(FltReleaseFileNameInformation),
    ROUTINE(FltSendMessage),
    ROUTINE(FltSetCallbackDataDirty),
    ROUTINE(FltSetInformationFile),
    ROUTINE(FltSetStreamContext),
    ROUTINE(FltSetStreamHandleContext),
    ROUTINE(FltStartFiltering),
    ROUTINE(FltUnregisterFilter),
};

// The simulation implements none of HAL.dll's routines; an image importing
// one is refused with the routine's name.
const ExportModule kModules[] = {
    {"ntoskrnl.exe", kNtoskrnl, sizeof(kNtoskrnl) / sizeof(kNtoskrnl[0])},
    {"HAL.dll", nullptr, 0},
    {"FLTMGR.SYS", kFltmgr, sizeof(kFltmgr) / sizeof(kFltmgr[0])},
};

}  // namespace

const ExportModule* FindExportModule(std::string_view name) {
  for (const ExportModule& module : kModules) {
    // Module names compare without regard to case, as the loader does.
    if (name.size() == std::strlen(module.name) &&
        strncasecmp(name.data(), module.name, name.size()) == 0) {
      return &module;
    }
  }
  return nullptr;
}

const void* FindExport(const ExportModule& module, std::string_view name) {
  for (std::size_t i = 0; i < module.count; ++i) {
    if (name == module.exports[i].name) return module.exports[i].address;
  }
  return nullptr;
}

}  // namespace sim::loader
