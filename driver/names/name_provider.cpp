// The name-provider callbacks. Names inside the merged view are composed by
// the driver itself once the view's handling exists; every other name is
// deferred to the providers below (GenerateFileName) or looked up in the
// directory on disk (NormalizeNameComponentEx).
#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../support/filter_refs.h"

namespace tavo {
namespace {

// Asks the providers below this filter for the name and copies it into the
// caller's name control.
NTSTATUS DeferGenerateFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                               PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                               PBOOLEAN CacheFileNameInformation, PFLT_NAME_CONTROL FileName) {
  FileNameRef info;
  NTSTATUS status =
      CallbackData != nullptr
          ? FltGetFileNameInformation(CallbackData, NameOptions, info.Receive())
          : FltGetFileNameInformationUnsafe(FileObject, Instance, NameOptions, info.Receive());
  if (!NT_SUCCESS(status)) return status;
  status = FltCheckAndGrowNameControl(FileName, info->Name.Length);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyUnicodeString(&FileName->Name, &info->Name);
  *CacheFileNameInformation = TRUE;
  return status;
}

// Looks the component up in its parent directory on disk.
NTSTATUS NormalizeFromDisk(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                           PCUNICODE_STRING ParentDirectory, PCUNICODE_STRING Component,
                           PFILE_NAMES_INFORMATION ExpandComponentName,
                           ULONG ExpandComponentNameLength, FLT_NORMALIZE_NAME_FLAGS Flags) {
  // The parent is opened ignoring case unless the name being normalised was
  // opened case-sensitively.
  ULONG attributes = OBJ_KERNEL_HANDLE;
  if ((Flags & FLTFL_NORMALIZE_NAME_CASE_SENSITIVE) == 0) attributes |= OBJ_CASE_INSENSITIVE;
  OBJECT_ATTRIBUTES objectAttributes;
  InitializeObjectAttributes(&objectAttributes, const_cast<PUNICODE_STRING>(ParentDirectory),
                             attributes, nullptr, nullptr);
  IO_DRIVER_CREATE_CONTEXT createContext;
  IoInitializeDriverCreateContext(&createContext);
  createContext.TxnParameters =
      FileObject != nullptr ? IoGetTransactionParameterBlock(FileObject) : nullptr;

  HANDLE directory = nullptr;
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status = FltCreateFileEx2(
      Globals.FilterHandle, Instance, &directory, nullptr, SYNCHRONIZE | FILE_LIST_DIRECTORY,
      &objectAttributes, &ioStatus, nullptr, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, IO_IGNORE_SHARE_ACCESS_CHECK,
      &createContext);
  if (!NT_SUCCESS(status)) return status;
  status =
      ZwQueryDirectoryFile(directory, nullptr, nullptr, nullptr, &ioStatus, ExpandComponentName,
                           ExpandComponentNameLength, FileNamesInformation, TRUE,
                           const_cast<PUNICODE_STRING>(Component), TRUE);
  FltClose(directory);
  return status;
}

}  // namespace

NTSTATUS FilterGenerateFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                PBOOLEAN CacheFileNameInformation, PFLT_NAME_CONTROL FileName) {
  if ((NameOptions & 3) == 0) return STATUS_NOT_SUPPORTED;
  // The nested query is answered below this filter.
  NameOptions &= ~FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER;
  return DeferGenerateFileName(Instance, FileObject, CallbackData, NameOptions,
                               CacheFileNameInformation, FileName);
}

NTSTATUS FilterNormalizeNameComponent(PFLT_INSTANCE Instance, PCUNICODE_STRING ParentDirectory,
                                      USHORT VolumeNameLength, PCUNICODE_STRING Component,
                                      PFILE_NAMES_INFORMATION ExpandComponentName,
                                      ULONG ExpandComponentNameLength,
                                      FLT_NORMALIZE_NAME_FLAGS Flags, PVOID* NormalizationContext) {
  return FilterNormalizeNameComponentEx(Instance, nullptr, ParentDirectory, VolumeNameLength,
                                        Component, ExpandComponentName, ExpandComponentNameLength,
                                        Flags, NormalizationContext);
}

NTSTATUS FilterNormalizeNameComponentEx(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PCUNICODE_STRING ParentDirectory, USHORT VolumeNameLength,
                                        PCUNICODE_STRING Component,
                                        PFILE_NAMES_INFORMATION ExpandComponentName,
                                        ULONG ExpandComponentNameLength,
                                        FLT_NORMALIZE_NAME_FLAGS Flags,
                                        PVOID* NormalizationContext) {
  UNREFERENCED_PARAMETER(VolumeNameLength);
  UNREFERENCED_PARAMETER(NormalizationContext);
  return NormalizeFromDisk(Instance, FileObject, ParentDirectory, Component, ExpandComponentName,
                           ExpandComponentNameLength, Flags);
}

}  // namespace tavo
