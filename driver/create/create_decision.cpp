// The create decision. A name below MergedViewRoot is never opened there:
// it is served from the local copy under BackendRoot when one exists, from
// the server through the client when not, or fails.
//
// Allocation failures: once the create's name is known, a failure to
// allocate a copy, a path or a record fails the create with
// STATUS_INSUFFICIENT_RESOURCES rather than letting it reach the merged
// view's folder on disk, where it would create or open the wrong thing.
#include "create_decision.h"

#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../setinfo/item_info_cache.h"
#include "../support/completion.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../support/filter_refs.h"
#include "../tables/short_names.h"
#include "client_requests.h"
#include "contexts.h"
#include "name_helpers.h"
#include "open_handle_table.h"
#include "path_classification.h"
#include "request_payloads.h"
#include "requestor.h"
#include "tracking.h"
#include "virtual_open.h"

namespace tavo {
namespace {

// Names this short (a volume, its root) are never in the view.
constexpr USHORT kShortestDecidedName = 48;
// Names longer than this are checked against the limits below.
constexpr USHORT kLongNameThreshold = 260;
// Limits on the part of a name beyond MergedViewRoot, in bytes.
constexpr ULONG kFileBeyondRootLimit = 2560;
constexpr ULONG kDirectoryBeyondRootLimit = 2050;

// One create being decided, with the values it owns.
struct CreateDecision {
  PFLT_CALLBACK_DATA data;
  PCFLT_RELATED_OBJECTS objects;
  PVOID* completionContext;
  OwnedString name;         // CreateName
  OwnedString backendPath;  // BackendPath
  ULONG disposition;
  ULONG options;
  ACCESS_MASK access;

  bool IsDirectory() const { return (options & FILE_DIRECTORY_FILE) != 0; }
  PUNICODE_STRING Name() { return &name.Get(); }
};


// Whether the desired access asks for the file's data rather than only
// its metadata.
bool AsksForData(ACCESS_MASK access) {
  const auto both = [access](ACCESS_MASK a, ACCESS_MASK b) {
    return (access & (a | b)) == (a | b);
  };
  return both(FILE_READ_DATA, FILE_EXECUTE) || both(FILE_READ_DATA, READ_CONTROL) ||
         (access & FILE_WRITE_DATA) != 0;
}

void RemoveTrailingBackslash(UNICODE_STRING& name) {
  if (name.Length >= sizeof(WCHAR) && name.Buffer[name.Length / sizeof(WCHAR) - 1] == L'\\') {
    name.Length -= sizeof(WCHAR);
  }
}

// Whether the name ends in "\Desktop.ini"; trims a final "\." off the
// name. False (with *failed) when the name cannot be terminated for want of
// pool.
bool IsDesktopIni(UNICODE_STRING& name, bool* failed) {
  TerminatedName terminated(name);
  *failed = terminated.Chars() == nullptr;
  if (*failed) return false;
  USHORT length = name.Length;
  const bool desktopIni = IsDesktopIniName(terminated.Chars(), &length) != FALSE;
  name.Length = length;
  return desktopIni;
}

// The redirect: the file object's name becomes the backend path and the
// I/O manager re-issues the create there.
FLT_PREOP_CALLBACK_STATUS RedirectToBackend(CreateDecision& create) {
  PFILE_OBJECT fileObject = create.data->Iopb->TargetFileObject;
  const NTSTATUS status = IoReplaceFileObjectName(fileObject, create.backendPath->Buffer,
                                                  create.backendPath->Length);
  if (!NT_SUCCESS(status)) return CompleteOperation(create.data, status);
  auto& parameters = create.data->Iopb->Parameters.Create;
  parameters.Options |= FILE_SYNCHRONOUS_IO_NONALERT;
  if (parameters.SecurityContext != nullptr) parameters.SecurityContext->DesiredAccess |= SYNCHRONIZE;
  fileObject->RelatedFileObject = nullptr;
  return CompleteOperation(create.data, STATUS_REPARSE, IO_REPARSE);
}

// The root itself goes down to the file system (its handle is marked after
// the create); any other name is failed as not found and handed to the
// post-create work, which opens it virtually when the server has it.
FLT_PREOP_CALLBACK_STATUS FallBackToVirtualOpen(CreateDecision& create,
                                                NTSTATUS notFound = STATUS_OBJECT_NAME_NOT_FOUND) {
  PUNICODE_STRING copy = MakeCompletionName(create.Name());
  if (copy == nullptr) return CompleteOperation(create.data, STATUS_INSUFFICIENT_RESOURCES);
  OwnedString root;
  CopyMergedViewRoot(&root);
  if (root->Length != 0 && RtlEqualUnicodeString(copy, &root.Get(), TRUE)) {
    *create.completionContext = copy;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  }
  create.data->IoStatus.Status = notFound;
  create.data->IoStatus.Information = 0;
  FilterPostCreateOperationCallback(create.data, create.objects, copy, 0);
  return FLT_PREOP_COMPLETE;
}

bool ServerItemIsDirectory(const PoolBuffer& reply) {
  ULONG attributes;
  RtlCopyMemory(&attributes,
                reply.Data() + __builtin_offsetof(protocol::ItemInfoReply, FileAttributes),
                sizeof(attributes));
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FLT_PREOP_CALLBACK_STATUS HandleOpen(CreateDecision& create) {
  if (ProbeBackendFile(&create.backendPath.Get(), create.objects->Instance, FALSE)) {
    return RedirectToBackend(create);
  }
  if (!AsksForData(create.access) || IsMergedViewRoot(create.Name())) {
    return FallBackToVirtualOpen(create);
  }
  PoolBuffer reply;
  // An item the server is deleting is neither downloaded nor made anew.
  const NTSTATUS current = QueryCurrentItemInfo(create.data, create.Name(), &reply);
  if (current == STATUS_DELETE_PENDING) return CompleteOperation(create.data, current);
  if (!reply) {
    if (create.IsDirectory() || create.disposition == FILE_OPEN) {
      return FallBackToVirtualOpen(create);
    }
    return RedirectToBackend(create);  // the file system creates the new file
  }
  if (ServerItemIsDirectory(reply)) return FallBackToVirtualOpen(create);

  // Taken before the download: once the client has made the copy, nothing
  // may fail before the copy is recorded, or a delete through another
  // handle would leave it behind.
  OwnedString backendCopy = OwnedString::CopyOf(NonPagedPool, create.backendPath.Get(),
                                                create.backendPath->MaximumLength);
  if (!backendCopy.HasBuffer()) return CompleteOperation(create.data, STATUS_INSUFFICIENT_RESOURCES);
  if (!RequestDownloadForCreate(create.data, create.Name())) {
    return CompleteOperation(create.data, STATUS_ACCESS_DENIED);
  }
  MarkBackendCopy(create.Name(), &backendCopy);
  return RedirectToBackend(create);
}

// A directory the client has just created on the server, opened virtually.
FLT_PREOP_CALLBACK_STATUS OpenNewVirtualDirectory(CreateDecision& create, const PoolBuffer& reply) {
  ContextRef<StreamHandleContext> context;
  NTSTATUS status = FltAllocateContext(Globals.FilterHandle, FLT_STREAMHANDLE_CONTEXT,
                                       kStreamHandleContextSize, PagedPool, context.Receive());
  // Passing the create down would make a real folder in the merged view's
  // folder on disk; the server has the folder now, so a later open finds it.
  if (!NT_SUCCESS(status) || !context) return CompleteOperation(create.data, STATUS_INSUFFICIENT_RESOURCES);
  RtlZeroMemory(context.Get(), kStreamHandleContextSize);
  // A rename in flight that holds the name has the registration wait and
  // ask again (the folder is on the server whatever the rename's end); a
  // delete that overtook the create keeps it failing each time.
  const ULONG queriedAt = ServerDeleteGeneration(create.Name());
  status = STATUS_RETRY;
  for (int attempt = 0; attempt < kItemQueryAttempts && status == STATUS_RETRY; ++attempt) {
    status = RegisterVirtualOpen(create.data, create.Name(), reply.Data(), queriedAt, context.Get());
  }
  if (status == STATUS_DELETE_PENDING || status == STATUS_RETRY) {
    return CompleteOperation(create.data, STATUS_DELETE_PENDING);  // a delete of the same name overtook it
  }
  if (!NT_SUCCESS(status)) return CompleteOperation(create.data, STATUS_INSUFFICIENT_RESOURCES);

  ContextRef<StreamHandleContext> replaced;
  status = FltSetStreamHandleContext(create.objects->Instance, create.objects->FileObject,
                                     FLT_SET_CONTEXT_REPLACE_IF_EXISTS, context.Get(),
                                     reinterpret_cast<PFLT_CONTEXT*>(replaced.Receive()));
  if (!NT_SUCCESS(status)) {
    // No close will come for this file object: take the open back.
    ReleaseVirtualOpen(create.data, create.objects->FileObject, context.Get());
    return CompleteOperation(create.data, STATUS_INTERNAL_ERROR);
  }
  return CompleteOperation(create.data, STATUS_SUCCESS, FILE_CREATED);
}

FLT_PREOP_CALLBACK_STATUS HandleCreate(CreateDecision& create) {
  if (ProbeBackendFile(&create.backendPath.Get(), create.objects->Instance, TRUE)) {
    return CompleteOperation(create.data, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
  }
  ForgetItemInfo(create.Name());
  {
    PoolBuffer reply;
    QueryItemInfo(create.data, create.Name(), &reply);
    if (reply) return CompleteOperation(create.data, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
  }
  UCHAR answer = 0;
  if (!RequestCreatePath(create.data, create.Name(), create.IsDirectory(), &answer)) {
    return CompleteOperation(create.data, answer == protocol::kCreatePathNameTooLong ? STATUS_NAME_TOO_LONG
                                                                            : STATUS_ACCESS_DENIED);
  }
  if (!create.IsDirectory()) return RedirectToBackend(create);

  PoolBuffer reply;
  QueryItemInfo(create.data, create.Name(), &reply);
  if (!reply) return CompleteOperation(create.data, STATUS_ACCESS_DENIED);
  return OpenNewVirtualDirectory(create, reply);
}

FLT_PREOP_CALLBACK_STATUS HandleOverwriteIf(CreateDecision& create) {
  if (!ProbeBackendFile(&create.backendPath.Get(), create.objects->Instance, TRUE)) {
    if (!RequestServerDelete(create.data, create.Name(), create.IsDirectory())) {
      TAVO_PRINT("FilterPreCloseOperationCallback: Failed to delete online file or folder %wZ \n",
                 create.Name());
    }
    // Counted as a delete whatever the answer: an open whose answer came
    // before it asks again rather than opening the replaced server item.
    ForgetDeletedItem(create.Name());
  }
  ForgetItemInfo(create.Name());
  UCHAR answer = 0;
  if (!RequestCreatePath(create.data, create.Name(), create.IsDirectory(), &answer)) {
    return CompleteOperation(create.data, STATUS_ACCESS_DENIED);
  }
  return RedirectToBackend(create);
}

// The name without its final component (and without the backslash before
// it); the name itself when it has no backslash.
UNICODE_STRING ParentOf(const UNICODE_STRING& name) {
  UNICODE_STRING parent = name;
  USHORT chars = name.Length / sizeof(WCHAR);
  while (chars != 0 && name.Buffer[chars - 1] != L'\\') --chars;
  if (chars != 0) parent.Length = static_cast<USHORT>((chars - 1) * sizeof(WCHAR));
  return parent;
}

// The parent directory of a rename or link target (SL_OPEN_TARGET_DIRECTORY:
// the file system opens the folder that would hold the final component and
// only reports whether that component exists). It is decided for that
// folder, not for the final component: the view's own folder on disk (the
// target is the view's root or directly in it) is opened by the file
// system; a folder whose local copy exists under BackendRoot is opened
// there (the re-issued create keeps the flag and the final component); any
// other folder of the view can only be a server folder, opened virtually
// (or not found). The rename itself is then redirected by the
// set-information path, which never passes a virtual target down.
FLT_PREOP_CALLBACK_STATUS HandleTargetDirectoryOpen(CreateDecision& create) {
  UNICODE_STRING parent = ParentOf(create.name.Get());
  if (IsMergedViewRoot(create.Name()) || IsMergedViewRoot(&parent)) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  const UNICODE_STRING backendParent = ParentOf(create.backendPath.Get());
  if (ProbeBackendFile(&backendParent, create.objects->Instance, TRUE)) {
    return RedirectToBackend(create);
  }
  // Not found, it is the target's path that is missing.
  create.name->Length = parent.Length;
  return FallBackToVirtualOpen(create, STATUS_OBJECT_PATH_NOT_FOUND);
}

// Rewrites a merged-view name to its canonical form: no trailing
// backslash, the secondary root replaced, short components expanded.
NTSTATUS NormaliseViewName(CreateDecision& create, ViewPathKind kind) {
  RemoveTrailingBackslash(create.name.Get());
  if (kind == ViewPathSecondary) {
    const NTSTATUS status = SecondaryToMergedViewPath(create.Name());
    if (!NT_SUCCESS(status)) return status;
  }
  OwnedString expanded;
  const NTSTATUS status = ExpandShortNames(create.data, create.Name(), &expanded);
  if (NT_SUCCESS(status) && expanded->Length > sizeof(WCHAR)) {
    create.name = static_cast<OwnedString&&>(expanded);
  }
  return STATUS_SUCCESS;
}

bool ExceedsLengthLimit(CreateDecision& create) {
  if (create.name->Length <= kLongNameThreshold) return false;
  OwnedString root;
  CopyMergedViewRoot(&root);
  const ULONG beyondRoot = create.name->Length > root->Length ? create.name->Length - root->Length : 0;
  const ULONG limit = create.IsDirectory() ? kDirectoryBeyondRootLimit : kFileBeyondRootLimit;
  return beyondRoot >= limit;
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS DecideCreate(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                       PVOID* completionContext) {
  *completionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(data)) return FLT_PREOP_DISALLOW_FASTIO;
  PFILE_OBJECT fileObject = data->Iopb->TargetFileObject;
  if ((data->Iopb->OperationFlags & SL_OPEN_PAGING_FILE) != 0 ||
      (fileObject != nullptr && (fileObject->Flags & FO_VOLUME_OPEN) != 0)) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }

  CreateDecision create{data, objects, completionContext, {}, {}, 0, 0, 0};
  const NTSTATUS nameStatus = GetCreateFileName(data, objects, &create.name);
  // A name the driver could not copy for want of pool may be one of the
  // view: passed down, it would be created in the view's folder on disk.
  if (nameStatus == STATUS_INSUFFICIENT_RESOURCES) return CompleteOperation(data, nameStatus);
  if (!NT_SUCCESS(nameStatus)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  create.disposition = CreateDispositionOf(data);
  create.options = CreateOptionsOf(data);
  auto* security = data->Iopb->Parameters.Create.SecurityContext;
  create.access = security != nullptr ? security->DesiredAccess : 0;

  // Screening.
  bool failed = false;
  if (create.disposition != FILE_CREATE && IsDesktopIni(create.name.Get(), &failed)) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  if (failed) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);
  if (create.name->Length <= kShortestDecidedName) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  if (IsUnderBackendRoot(create.Name(), FALSE)) {
    PUNICODE_STRING name = MakeCompletionName(create.Name());
    if (name == nullptr) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);
    *completionContext = name;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  }
  ViewPathKind kind = ViewPathNone;
  if (!ClassifyViewPath(create.Name(), &kind)) return FLT_PREOP_SUCCESS_NO_CALLBACK;

  // A name of the view.
  NTSTATUS status = NormaliseViewName(create, kind);
  if (!NT_SUCCESS(status)) return CompleteOperation(data, status);
  if (ExceedsLengthLimit(create)) return CompleteOperation(data, STATUS_NAME_TOO_LONG);
  ViewPathToBackendPath(create.Name(), &create.backendPath);
  if (!create.backendPath.HasBuffer()) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);

  if ((data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY) != 0) {
    return HandleTargetDirectoryOpen(create);
  }
  // A name whose server delete is still to be asked (a last close's,
  // owed to the worker when pool was short) is not made anew: the delete,
  // asked later, would take the new item with it.
  const bool makesItem = create.disposition == FILE_SUPERSEDE ||
                         create.disposition == FILE_CREATE ||
                         create.disposition == FILE_OVERWRITE_IF;
  if (makesItem && CheckNotDeleted(create.Name(), ServerDeleteGeneration(create.Name())) ==
                       STATUS_DELETE_PENDING) {
    return CompleteOperation(data, STATUS_DELETE_PENDING);
  }
  switch (create.disposition) {
    case FILE_SUPERSEDE:
      return RedirectToBackend(create);
    case FILE_OPEN:
    case FILE_OPEN_IF:
      return HandleOpen(create);
    case FILE_CREATE:
      return HandleCreate(create);
    case FILE_OVERWRITE_IF:
      return HandleOverwriteIf(create);
    case FILE_OVERWRITE:
    default:
      return FallBackToVirtualOpen(create);
  }
}

}  // namespace tavo
