// The name-provider callbacks. Much of the merged view exists nowhere on
// disk: the file system cannot name a virtual item's file object, nor find a
// server-only component in a directory. Names at or under MergedViewRoot are
// composed here (8.3 components expanded, the client asked whether the item
// exists); every other name is deferred to the providers below
// (GenerateFileName) or looked up in the directory on disk
// (NormalizeNameComponentEx).
//
// Shortage of pool fails the callback with STATUS_INSUFFICIENT_RESOURCES; a
// name that would not fit a counted string fails it with
// STATUS_NAME_TOO_LONG. Neither is built by overflowing a buffer.
#include "../channel/request_exchange.h"
#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../create/contexts.h"
#include "../create/open_handle_table.h"
#include "../create/path_classification.h"
#include "../setinfo/item_info_cache.h"
#include "../support/counted_string.h"
#include "../support/filter_refs.h"
#include "../support/pool.h"
#include "../tables/short_names.h"
#include "view_names.h"
#include "port_messages.h"
#include "request_payloads.h"

namespace tavo {
namespace {

// The client's answer buffer for an existence question.
constexpr ULONG kViewItemAnswerBytes = 616;

// The volume-relative name of a create's related directory. A handle the
// driver serves (a virtual item, the merged-view root) is named from its
// handle context: its own FileName may be relative to a directory that is
// no longer known, and the file system below never opened it to resolve
// that. Any other directory by its FileName. The result borrows from
// `context`, `entryPath` (a virtual item's path, copied) or the file object.
UNICODE_STRING RelatedDirectoryName(PFLT_INSTANCE instance, PFILE_OBJECT related,
                                    ContextRef<StreamHandleContext>* context,
                                    OwnedString* entryPath) {
  if (instance != nullptr &&
      NT_SUCCESS(FltGetStreamHandleContext(instance, related, context->Receive()))) {
    StreamHandleContext* handle = context->Get();
    if (IsVirtualOpen(handle)) *entryPath = CopyEntryPath(*handle->Entry);
    const UNICODE_STRING* full = IsVirtualOpen(handle)   ? &entryPath->Get()
                                 : handle->IsViewRoot != 0 ? &handle->RootPath
                                                           : nullptr;
    const ULONG prefixBytes = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
    if (full != nullptr && full->Length > prefixBytes) {
      return BorrowString(full->Buffer + Globals.VolumePrefixLength,
                          static_cast<USHORT>(full->Length - prefixBytes));
    }
  }
  return related->FileName;
}

// The name the file object was opened with, relative to the volume; during
// its create, a name relative to an open directory is joined to the
// directory's name with one backslash.
NTSTATUS ComposeOpenedName(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, bool duringCreate,
                           OwnedString* name) {
  const UNICODE_STRING& own = fileObject->FileName;
  if (own.Length == 0) return STATUS_INVALID_ADDRESS;
  PFILE_OBJECT related = duringCreate ? fileObject->RelatedFileObject : nullptr;
  ContextRef<StreamHandleContext> relatedContext;
  OwnedString relatedPath;
  const UNICODE_STRING relatedName =
      related != nullptr ? RelatedDirectoryName(instance, related, &relatedContext, &relatedPath)
                         : UNICODE_STRING{};
  if (relatedContext.Get() != nullptr && IsVirtualOpen(relatedContext.Get()) &&
      !relatedPath.HasBuffer()) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const ULONG relatedBytes = relatedName.Length;
  const ULONG size = own.Length + (related != nullptr ? relatedBytes + sizeof(WCHAR) : 0);
  if (size > UNICODE_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  OwnedString composed = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(size));
  if (!composed.HasBuffer()) return STATUS_UNSUCCESSFUL;
  ULONG at = 0;
  if (relatedBytes != 0) {
    RtlCopyMemory(composed->Buffer, relatedName.Buffer, relatedBytes);
    at = relatedBytes;
    if (composed->Buffer[at / sizeof(WCHAR) - 1] == L'\\') {
      at -= sizeof(WCHAR);
    }
    composed->Buffer[at / sizeof(WCHAR)] = L'\\';
    at += sizeof(WCHAR);
  }
  RtlCopyMemory(reinterpret_cast<PUCHAR>(composed->Buffer) + at, own.Buffer, own.Length);
  composed->Length = static_cast<USHORT>(at + own.Length);
  *name = static_cast<OwnedString&&>(composed);
  return STATUS_SUCCESS;
}

// Whether a volume-relative name is MergedViewRoot's volume-relative form or
// lies below it.
bool IsUnderViewRootRelative(const UNICODE_STRING& name) {
  OwnedString root;
  CopyMergedViewRootVolumeRelative(&root);
  if (!root.HasBuffer() || root->Length == 0 || name.Length < root->Length) return false;
  UNICODE_STRING compared = name;
  if (name.Length > root->Length) {
    if (name.Buffer[root->Length / sizeof(WCHAR)] != L'\\') return false;
    compared.Length = root->Length;
  }
  return RtlCompareUnicodeString(&compared, &root.Get(), TRUE) == 0;
}

// Whether the client knows the item at the full path: from ItemInfoCache,
// or asked with the client's own session. Only an answer that holds the
// item's information says so: a success that delivered less (nothing at all
// when the wait ended without an answer) is absence, as for a create.
bool QueryViewItemInfo(PCUNICODE_STRING path) {
  PoolBuffer cached;
  LookupItemInfo(path, &cached);
  if (cached && cached.Size() >= protocol::kItemInfoReplySize) return true;
  PoolBuffer payload =
      PoolBuffer::Allocate(NonPagedPool, path->Length + protocol::kItemInfoRequestOverhead);
  PoolBuffer answer = PoolBuffer::Allocate(NonPagedPool, kViewItemAnswerBytes);
  if (!payload || !answer) return false;
  protocol::ItemInfoRequest header{};
  header.SessionId = Globals.ClientSessionId;
  header.QueryKind = protocol::kQueryItemInfo;
  header.NameLength = path->Length + sizeof(WCHAR);
  RtlCopyMemory(payload.Data(), &header, sizeof(header));
  if (path->Length != 0) {
    RtlCopyMemory(payload.Data() + protocol::kItemInfoNameOffset, path->Buffer, path->Length);
  }
  // An answer a completed server delete of the item overtook is not kept:
  // it would have later creates find a deleted item.
  const ULONG queriedAt = ServerDeleteGeneration(path);
  ULONG answerLength = 0;
  const NTSTATUS status =
      SendRequestAndWait(payload.Data(), payload.Size(), protocol::kRequestItemQuery, answer.Data(),
                         answer.Size(), &answerLength);
  if (answerLength > answer.Size()) answerLength = answer.Size();
  if (!NT_SUCCESS(status) || answerLength < protocol::kItemInfoReplySize) return false;
  CacheItemInfoIfCurrent(path, answer.Data(), answerLength, queriedAt);
  return true;
}

// The merged-view volume's device name in front of a volume-relative name.
NTSTATUS MakeFullName(const UNICODE_STRING& name, OwnedString* full) {
  OwnedString root;
  if (!CopyMergedViewRoot(&root)) return STATUS_INSUFFICIENT_RESOURCES;
  if (!root.HasBuffer()) return STATUS_OBJECT_NAME_NOT_FOUND;
  ULONG prefixBytes = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
  if (prefixBytes > root->Length) prefixBytes = root->Length;
  const ULONG capacity = prefixBytes + name.MaximumLength;
  if (capacity > UNICODE_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  OwnedString joined = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(capacity));
  if (!joined.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(joined->Buffer, root->Buffer, prefixBytes);
  RtlCopyMemory(reinterpret_cast<PUCHAR>(joined->Buffer) + prefixBytes, name.Buffer, name.Length);
  joined->Length = static_cast<USHORT>(prefixBytes + name.Length);
  *full = static_cast<OwnedString&&>(joined);
  return STATUS_SUCCESS;
}

// Whether the create opens the parent of a rename or link target: the I/O
// manager marks that open with SL_OPEN_TARGET_DIRECTORY. Its desired access
// (SYNCHRONIZE with FILE_ADD_FILE or FILE_ADD_SUBDIRECTORY) is no mark: an
// ordinary create may ask for exactly that.
bool IsTargetParentOpen(PFLT_CALLBACK_DATA data) {
  return (data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY) != 0;
}

// The name of a file object at or under MergedViewRoot, as a full device
// path; `full` holds it on entry and is replaced by an expanded form.
// *resultLength is the length to report.
void SettleViewName(PFLT_CALLBACK_DATA data, bool duringCreate, OwnedString* full,
                    USHORT* resultLength) {
  *resultLength = (*full)->Length;
  UNICODE_STRING compared = full->Get();
  if (compared.Length >= sizeof(WCHAR) &&
      compared.Buffer[compared.Length / sizeof(WCHAR) - 1] == L'\\') {
    compared.Length -= sizeof(WCHAR);
  }
  // The root itself needs no question; a trailing backslash it was opened
  // with stays.
  OwnedString root;
  CopyMergedViewRoot(&root);
  if (root.HasBuffer() && RtlCompareUnicodeString(&compared, &root.Get(), TRUE) == 0) return;

  OwnedString expanded;
  if (NT_SUCCESS(ExpandShortNames(data, &compared, &expanded)) &&
      expanded->Length > sizeof(WCHAR)) {
    *full = static_cast<OwnedString&&>(expanded);
    compared = full->Get();
    *resultLength = compared.Length;
  }
  // During a create the client's answer changes the name only for the open
  // of a rename or link target's parent. Any other create is about to ask
  // the client itself, with its own guard against answers a server delete
  // overtakes: asking here as well would double its round trip and count.
  const bool targetParent = duringCreate && IsTargetParentOpen(data);
  if (duringCreate && !targetParent) return;
  if (QueryViewItemInfo(&compared) || !targetParent) return;
  // The client does not know the item and the create opens a rename or link
  // target's parent: the name is that parent's, with its trailing backslash.
  const PWCH chars = full->Get().Buffer;
  if (*resultLength < 2 * sizeof(WCHAR)) return;
  for (ULONG i = *resultLength / sizeof(WCHAR) - 1; i >= 1; --i) {
    if (chars[i] == L'\\') {
      *resultLength = static_cast<USHORT>((i + 1) * sizeof(WCHAR));
      return;
    }
  }
}

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

// A component under the view keeps its characters; the client says whether
// it exists. The parent the Filter Manager passes ends in a backslash.
NTSTATUS NormalizeInView(PCUNICODE_STRING parentDirectory, PCUNICODE_STRING component,
                         ViewPathKind kind, PFILE_NAMES_INFORMATION expanded,
                         ULONG expandedLength) {
  const ULONG capacity = parentDirectory->MaximumLength + component->MaximumLength;
  if (capacity > UNICODE_STRING_MAX_BYTES || parentDirectory->Length > capacity ||
      component->Length > capacity - parentDirectory->Length) {
    return STATUS_NAME_TOO_LONG;
  }
  OwnedString full = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(capacity));
  if (!full.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyUnicodeString(&full.Get(), parentDirectory);
  RtlAppendUnicodeStringToString(&full.Get(), component);
  if (kind == ViewPathSecondary && !NT_SUCCESS(SecondaryToMergedViewPath(&full.Get()))) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  OwnedString longForm;
  if (NT_SUCCESS(ExpandShortNames(nullptr, &full.Get(), &longForm)) &&
      longForm->Length > sizeof(WCHAR)) {
    full = static_cast<OwnedString&&>(longForm);
  }
  const bool known = QueryViewItemInfo(&full.Get());
  constexpr ULONG kHeaderBytes = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
  if (expandedLength < kHeaderBytes) return STATUS_BUFFER_TOO_SMALL;
  expanded->NextEntryOffset = 0;
  expanded->FileIndex = 0;
  expanded->FileNameLength = 0;
  if (!known) return STATUS_NO_SUCH_FILE;
  // The Filter Manager's buffer is expected to hold the component; when it
  // does not, nothing of it is copied.
  if (expandedLength - kHeaderBytes < component->Length) return STATUS_BUFFER_TOO_SMALL;
  expanded->FileNameLength = component->Length;
  RtlCopyMemory(expanded->FileName, component->Buffer, component->Length);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ComposeCreateName(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, OwnedString* name) {
  *name = OwnedString();
  OwnedString relative;
  NTSTATUS status = ComposeOpenedName(instance, fileObject, true, &relative);
  if (status == STATUS_UNSUCCESSFUL) return STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) return status;
  return MakeFullName(relative.Get(), name);
}

NTSTATUS FilterGenerateFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                PBOOLEAN CacheFileNameInformation, PFLT_NAME_CONTROL FileName) {
  const ULONG format = FltGetFileNameFormat(NameOptions);
  if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED &&
      format != FLT_FILE_NAME_SHORT) {
    return STATUS_NOT_SUPPORTED;
  }
  // The nested query is answered below this filter.
  NameOptions &= ~FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER;
  const bool duringCreate =
      CallbackData != nullptr && CallbackData->Iopb->MajorFunction == IRP_MJ_CREATE;
  // Once open (in a filter's post-create too), a virtual item is named by
  // its entry. Its file object's own name may be relative to a directory
  // that RelatedFileObject no longer names (that field is valid during the
  // create only), and the file system below never saw it. A file object
  // still being created has no handle context.
  {
    ContextRef<StreamHandleContext> handle;
    if (NT_SUCCESS(FltGetStreamHandleContext(Instance, FileObject, handle.Receive())) &&
        IsVirtualOpen(handle.Get())) {
      // A short name is the final component's 8.3 name alone. A server-only
      // item has none on disk: answered as the file system answers for a
      // file without one.
      if (format == FLT_FILE_NAME_SHORT) return STATUS_OBJECT_NAME_NOT_FOUND;
      OwnedString path = CopyEntryPath(*handle->Entry);
      if (!path.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
      const NTSTATUS status = FltCheckAndGrowNameControl(FileName, path->Length);
      if (!NT_SUCCESS(status)) return status;
      RtlCopyUnicodeString(&FileName->Name, &path.Get());
      *CacheFileNameInformation = TRUE;
      return status;
    }
  }
  // Every other file object the file system opened: it knows the short
  // name (the full names composed below are no short names).
  OwnedString name;
  if (format == FLT_FILE_NAME_SHORT ||
      !NT_SUCCESS(ComposeOpenedName(Instance, FileObject, duringCreate, &name)) ||
      !IsUnderViewRootRelative(name.Get())) {
    return DeferGenerateFileName(Instance, FileObject, CallbackData, NameOptions,
                                 CacheFileNameInformation, FileName);
  }
  // The same full name answers every format.
  OwnedString full;
  NTSTATUS status = MakeFullName(name.Get(), &full);
  if (!NT_SUCCESS(status)) return status;
  USHORT resultLength = 0;
  SettleViewName(CallbackData, duringCreate, &full, &resultLength);
  status = FltCheckAndGrowNameControl(FileName, resultLength);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING result = full.Get();
  result.Length = resultLength;
  RtlCopyUnicodeString(&FileName->Name, &result);
  *CacheFileNameInformation = TRUE;
  return status;
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
  ViewPathKind kind = ViewPathNone;
  UNICODE_STRING parent = *ParentDirectory;
  ClassifyViewPath(&parent, &kind);
  if (kind != ViewPathNone) {
    return NormalizeInView(ParentDirectory, Component, kind, ExpandComponentName,
                           ExpandComponentNameLength);
  }
  return NormalizeFromDisk(Instance, FileObject, ParentDirectory, Component, ExpandComponentName,
                           ExpandComponentNameLength, Flags);
}

}  // namespace tavo
