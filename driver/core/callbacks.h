// Every routine the registration record hands to the Filter Manager.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Operation callbacks.
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreCreateOperationCallback(PFLT_CALLBACK_DATA Data,
                                                           PCFLT_RELATED_OBJECTS FltObjects,
                                                           PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostCreateOperationCallback(PFLT_CALLBACK_DATA Data,
                                                             PCFLT_RELATED_OBJECTS FltObjects,
                                                             PVOID CompletionContext,
                                                             FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreCloseOperationCallback(PFLT_CALLBACK_DATA Data,
                                                          PCFLT_RELATED_OBJECTS FltObjects,
                                                          PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostCloseOperationCallback(PFLT_CALLBACK_DATA Data,
                                                            PCFLT_RELATED_OBJECTS FltObjects,
                                                            PVOID CompletionContext,
                                                            FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreNetworkQueryOpenOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreQueryInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostQueryInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreSetInformationOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                                   PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostSetInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreDirectoryControlOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreShutdownOperationCallback(PFLT_CALLBACK_DATA Data,
                                                             PCFLT_RELATED_OBJECTS FltObjects,
                                                             PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreCleanupOperationCallback(PFLT_CALLBACK_DATA Data,
                                                            PCFLT_RELATED_OBJECTS FltObjects,
                                                            PVOID* CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostCleanupOperationCallback(PFLT_CALLBACK_DATA Data,
                                                              PCFLT_RELATED_OBJECTS FltObjects,
                                                              PVOID CompletionContext,
                                                              FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreQuerySecurityOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreVolumeOperationCallback(PFLT_CALLBACK_DATA Data,
                                                           PCFLT_RELATED_OBJECTS FltObjects,
                                                           PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreDeviceControlOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI FilterUnHandledOperation(PFLT_CALLBACK_DATA Data,
                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                   PVOID* CompletionContext);

// Context cleanup.
void FLTAPI StreamHandleContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
void FLTAPI StreamContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);

// Filter and instance callbacks.
NTSTATUS FLTAPI TavoClientMergedViewUnload(FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS FLTAPI TavoClientMergedViewInstanceQueryTeardown(PCFLT_RELATED_OBJECTS FltObjects,
                                                   FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);

// Name provider.
NTSTATUS FLTAPI FilterGenerateFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                PBOOLEAN CacheFileNameInformation, PFLT_NAME_CONTROL FileName);
NTSTATUS FLTAPI FilterNormalizeNameComponent(PFLT_INSTANCE Instance, PCUNICODE_STRING ParentDirectory,
                                      USHORT VolumeNameLength, PCUNICODE_STRING Component,
                                      PFILE_NAMES_INFORMATION ExpandComponentName,
                                      ULONG ExpandComponentNameLength,
                                      FLT_NORMALIZE_NAME_FLAGS Flags, PVOID* NormalizationContext);
NTSTATUS FLTAPI FilterNormalizeNameComponentEx(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PCUNICODE_STRING ParentDirectory, USHORT VolumeNameLength,
                                        PCUNICODE_STRING Component,
                                        PFILE_NAMES_INFORMATION ExpandComponentName,
                                        ULONG ExpandComponentNameLength,
                                        FLT_NORMALIZE_NAME_FLAGS Flags,
                                        PVOID* NormalizationContext);

}  // namespace tavo
