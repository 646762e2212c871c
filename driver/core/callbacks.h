// Every routine the registration record hands to the Filter Manager.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Operation callbacks.
FLT_PREOP_CALLBACK_STATUS FilterPreCreateOperationCallback(PFLT_CALLBACK_DATA Data,
                                                           PCFLT_RELATED_OBJECTS FltObjects,
                                                           PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FilterPostCreateOperationCallback(PFLT_CALLBACK_DATA Data,
                                                             PCFLT_RELATED_OBJECTS FltObjects,
                                                             PVOID CompletionContext,
                                                             FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FilterPreCloseOperationCallback(PFLT_CALLBACK_DATA Data,
                                                          PCFLT_RELATED_OBJECTS FltObjects,
                                                          PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FilterPostCloseOperationCallback(PFLT_CALLBACK_DATA Data,
                                                            PCFLT_RELATED_OBJECTS FltObjects,
                                                            PVOID CompletionContext,
                                                            FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FilterPreNetworkQueryOpenOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FilterPreQueryInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FilterPostQueryInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FilterPreSetInformationOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                                   PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FilterPostSetInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FilterPreDirectoryControlOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FilterPreShutdownOperationCallback(PFLT_CALLBACK_DATA Data,
                                                             PCFLT_RELATED_OBJECTS FltObjects,
                                                             PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FilterPreCleanupOperationCallback(PFLT_CALLBACK_DATA Data,
                                                            PCFLT_RELATED_OBJECTS FltObjects,
                                                            PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FilterPostCleanupOperationCallback(PFLT_CALLBACK_DATA Data,
                                                              PCFLT_RELATED_OBJECTS FltObjects,
                                                              PVOID CompletionContext,
                                                              FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FilterPreQuerySecurityOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FilterPreVolumeOperationCallback(PFLT_CALLBACK_DATA Data,
                                                           PCFLT_RELATED_OBJECTS FltObjects,
                                                           PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FilterPreDeviceControlOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FilterUnHandledOperation(PFLT_CALLBACK_DATA Data,
                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                   PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FilterNoPostOperation(PFLT_CALLBACK_DATA Data,
                                                 PCFLT_RELATED_OBJECTS FltObjects,
                                                 PVOID CompletionContext,
                                                 FLT_POST_OPERATION_FLAGS Flags);

// Context cleanup.
void StreamHandleContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
void StreamContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);

// Filter and instance callbacks.
NTSTATUS TavoClientMergedViewUnload(FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS TavoClientMergedViewInstanceQueryTeardown(PCFLT_RELATED_OBJECTS FltObjects,
                                                   FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);

// Name provider.
NTSTATUS FilterGenerateFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                PBOOLEAN CacheFileNameInformation, PFLT_NAME_CONTROL FileName);
NTSTATUS FilterNormalizeNameComponent(PFLT_INSTANCE Instance, PCUNICODE_STRING ParentDirectory,
                                      USHORT VolumeNameLength, PCUNICODE_STRING Component,
                                      PFILE_NAMES_INFORMATION ExpandComponentName,
                                      ULONG ExpandComponentNameLength,
                                      FLT_NORMALIZE_NAME_FLAGS Flags, PVOID* NormalizationContext);
NTSTATUS FilterNormalizeNameComponentEx(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PCUNICODE_STRING ParentDirectory, USHORT VolumeNameLength,
                                        PCUNICODE_STRING Component,
                                        PFILE_NAMES_INFORMATION ExpandComponentName,
                                        ULONG ExpandComponentNameLength,
                                        FLT_NORMALIZE_NAME_FLAGS Flags,
                                        PVOID* NormalizationContext);

}  // namespace tavo
