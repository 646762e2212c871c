// Directory control. The merged-view root and the virtual folders are listed
// by the client: a query on a handle that carries a StreamHandleContext is
// sent to it as a directory-listing request, its answer lands in the
// caller's buffer, and the handle keeps the search pattern and the number of
// entries returned since the last restart. Change notification is refused
// on those handles; every other handle is the file system's.
//
// Concurrency: a handle's SearchPattern and EnumerationIndex belong to the
// one query holding the handle's QueryInProgress mark (taken with an
// interlocked exchange, dropped when the query completes). The mark is held
// across the client request, but it is no lock: a second query on the same
// handle meanwhile does not wait, it completes with STATUS_DEVICE_BUSY and
// changes nothing (only an asynchronous handle can send one; the I/O
// manager serialises requests on a synchronous handle).
//
// An enumeration that goes on past its first buffer is fetched from the
// client a page at a time (listing_pages.h): the client is asked for a
// page instead of the caller's buffer, and the following queries of the
// handle are answered from what the page holds. One request per query would
// make a big folder cost a client round trip per buffer, which is most of
// a listing's time; a caller that reads one buffer still costs exactly one
// request of its own size.
#include "../channel/request_exchange.h"
#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../create/contexts.h"
#include "../create/open_handle_table.h"
#include "../create/requestor.h"
#include "../ops/operation_buffer.h"
#include "../support/counted_string.h"
#include "../support/filter_refs.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "../tables/process_lists.h"
#include "listing_pages.h"
#include "port_messages.h"
#include "request_payloads.h"

namespace tavo {
namespace {

using protocol::DirectoryQueryRequest;

FLT_PREOP_CALLBACK_STATUS Complete(PFLT_CALLBACK_DATA data, NTSTATUS status,
                                   ULONG_PTR information) {
  data->IoStatus.Status = status;
  data->IoStatus.Information = information;
  return FLT_PREOP_COMPLETE;
}

// The handle's in-progress mark, held for one query.
class QueryMark {
 public:
  explicit QueryMark(StreamHandleContext* handle)
      : handle_(handle), held_(InterlockedExchange(&handle->QueryInProgress, 1) == 0) {}
  QueryMark(const QueryMark&) = delete;
  QueryMark& operator=(const QueryMark&) = delete;
  ~QueryMark() {
    if (held_) InterlockedExchange(&handle_->QueryInProgress, 0);
  }
  bool Held() const { return held_; }

 private:
  StreamHandleContext* handle_;
  bool held_;
};

// Whether the requestor is listed to see empty listings here: on the
// merged-view root always, in virtual folders only with ListSubRootLevel.
// A requestor whose image name cannot be found is not listed.
bool ListingHiddenFrom(PFLT_CALLBACK_DATA data, const StreamHandleContext& handle) {
  if (handle.IsViewRoot != 1 && ReadFlag(Globals.ListSubRootLevelFlag) == 0) return false;
  OwnedString image;
  GetProcessImageName(&image, FltGetRequestorProcessIdEx(data));
  return image.HasBuffer() && IsNoListingProcess(image.Get());
}

// The request payload: the fixed header, the folder's path and the pattern
// (when there is one), each with its terminator, then the zero trailer.
PoolBuffer BuildQueryPayload(PFLT_CALLBACK_DATA data, const UNICODE_STRING& directory,
                             const UNICODE_STRING& pattern, ULONG startIndex, ULONG bufferLength) {
  const auto& query = data->Iopb->Parameters.DirectoryControl.QueryDirectory;
  const ULONG pathBytes = directory.Length + sizeof(WCHAR);
  const ULONG patternBytes = pattern.Length != 0 ? pattern.Length + sizeof(WCHAR) : 0;
  PoolBuffer payload =
      PoolBuffer::Allocate(NonPagedPool, protocol::kDirectoryQueryOverhead + pathBytes + patternBytes);
  if (!payload) return payload;
  DirectoryQueryRequest header{};
  header.SessionId = RequestorSessionId(data);
  header.FileInformationClass = static_cast<ULONG>(query.FileInformationClass);
  header.Purpose = protocol::kDirectoryQueryList;
  header.StartIndex = startIndex;
  header.SingleEntry = (data->Iopb->OperationFlags & SL_RETURN_SINGLE_ENTRY) != 0 ? 1 : -1;
  header.BufferLength = bufferLength;
  header.DirectoryPathLength = pathBytes;
  header.PatternLength = patternBytes;
  RtlCopyMemory(payload.Data(), &header, sizeof(header));
  UCHAR* names = payload.Data() + protocol::kDirectoryQueryNamesOffset;
  RtlCopyMemory(names, directory.Buffer, directory.Length);
  if (patternBytes != 0) RtlCopyMemory(names + pathBytes, pattern.Buffer, pattern.Length);
  return payload;
}

// Entries in the first `length` bytes of a listing: the first entry, then
// one for each link that lands inside the data. The client owns the
// entries, but a link that leaves the data is cut (set to 0) so that the
// caller, walking its buffer, never follows it out.
ULONG CountEntries(UCHAR* listing, ULONG length) {
  if (length == 0) return 0;
  ULONG count = 1;
  ULONG offset = 0;
  while (static_cast<ULONGLONG>(offset) + sizeof(ULONG) <= length) {
    ULONG next = 0;
    RtlCopyMemory(&next, listing + offset, sizeof(next));
    if (next == 0) break;
    if (static_cast<ULONGLONG>(offset) + next + sizeof(ULONG) > length) {
      RtlZeroMemory(listing + offset, sizeof(ULONG));
      break;
    }
    offset += next;
    ++count;
  }
  return count;
}

// Whether the query goes on exactly where the handle's page stops: then the
// client would be asked for the page's next entry, and the page answers.
bool ContinuesPage(PFLT_CALLBACK_DATA data, const StreamHandleContext& handle,
                   const ListingPage& page) {
  const auto& query = data->Iopb->Parameters.DirectoryControl.QueryDirectory;
  const UCHAR flags = data->Iopb->OperationFlags;
  const bool patternGiven = query.FileName != nullptr && query.FileName->Length != 0;
  return (flags & (SL_RESTART_SCAN | SL_INDEX_SPECIFIED)) == 0 && !patternGiven &&
         page.InfoClass == static_cast<ULONG>(query.FileInformationClass) &&
         page.NextIndex == handle.EnumerationIndex && !ListingPageExhausted(page) &&
         query.Length >= ListingEntryHeaderBytes(page.InfoClass);
}

// Whether the query is one a page may be fetched for: it continues an
// enumeration (the handle's first buffer, or one after a restart, is asked
// for at its own size), lists all it can, from where the handle stands, in
// a class whose entries the driver can measure, into a buffer smaller than
// a page that holds at least one entry header.
bool WantsPage(PFLT_CALLBACK_DATA data, ULONG enumerationIndex) {
  const auto& query = data->Iopb->Parameters.DirectoryControl.QueryDirectory;
  const ULONG header = ListingEntryHeaderBytes(static_cast<ULONG>(query.FileInformationClass));
  return enumerationIndex != 0 &&
         (data->Iopb->OperationFlags & (SL_INDEX_SPECIFIED | SL_RETURN_SINGLE_ENTRY)) == 0 &&
         header != 0 && query.Length >= header && query.Length < kListingPageBytes;
}

// An empty page for the query: the handle's spent one when it has one,
// otherwise a new one, or none when pool is short (the query then asks for
// its own buffer).
void PreparePage(PFLT_CALLBACK_DATA data, ULONG enumerationIndex, PoolPtr<ListingPage>* page) {
  if (!*page) {
    *page = PoolPtr<ListingPage>::Make(kPaged);
    if (!*page) return;
    (*page)->Entries = PoolBuffer::Allocate(PagedPool, kListingPageBytes);
    if (!(*page)->Entries) {
      page->Reset();
      return;
    }
  }
  (*page)->InfoClass =
      static_cast<ULONG>(data->Iopb->Parameters.DirectoryControl.QueryDirectory.FileInformationClass);
  (*page)->Length = 0;
  (*page)->Next = 0;
  (*page)->NextIndex = enumerationIndex;
}

FLT_PREOP_CALLBACK_STATUS ServePage(PFLT_CALLBACK_DATA data, StreamHandleContext* handle,
                                    UCHAR* callerBuffer, PoolPtr<ListingPage>& page) {
  const auto& query = data->Iopb->Parameters.DirectoryControl.QueryDirectory;
  ULONG bytes = 0;
  ULONG entries = 0;
  const NTSTATUS status =
      ServeFromListingPage(page.Get(), callerBuffer, query.Length,
                           (data->Iopb->OperationFlags & SL_RETURN_SINGLE_ENTRY) != 0, &bytes,
                           &entries);
  handle->EnumerationIndex += entries;
  // Kept even when spent: the handle's next page reuses it.
  KeepListingPage(handle, static_cast<PoolPtr<ListingPage>&&>(page));
  return Complete(data, status, bytes);
}

FLT_PREOP_CALLBACK_STATUS QueryDirectory(PFLT_CALLBACK_DATA data, StreamHandleContext* handle) {
  const auto& query = data->Iopb->Parameters.DirectoryControl.QueryDirectory;
  const UCHAR flags = data->Iopb->OperationFlags;
  const bool restart = (flags & SL_RESTART_SCAN) != 0;
  // A virtual file is no folder: NTFS refuses a listing of a file the same
  // way. (A user-mode handle of one never has FILE_LIST_DIRECTORY, so only
  // a kernel caller, which the I/O manager does not check, gets here.)
  // (Another open of the item refreshes IsDirectory under EntryLock.)
  bool folder = handle->IsViewRoot == 1;
  if (!folder) {
    SharedLock entryLock(handle->Entry->EntryLock);
    folder = handle->Entry->IsDirectory != 0;
  }
  if (!folder) return Complete(data, STATUS_INVALID_PARAMETER, 0);
  // A buffer too small for one entry's fixed part is refused as a file
  // system refuses it, and the enumeration stays where it was: failed by
  // the client, the query would send the handle back to its first entry and
  // the next one would list the folder again. The client judges the classes
  // the driver cannot measure.
  if (query.Length < ListingEntryHeaderBytes(static_cast<ULONG>(query.FileInformationClass))) {
    return Complete(data, STATUS_INFO_LENGTH_MISMATCH, 0);
  }
  QueryMark mark(handle);
  if (!mark.Held()) return Complete(data, STATUS_DEVICE_BUSY, 0);

  // The handle's page serves this query, or its entries go: whatever else
  // happens, the next query must not be answered from entries fetched for
  // another.
  PoolPtr<ListingPage> page = TakeListingPage(handle);
  if (ListingHiddenFrom(data, *handle)) {
    if (restart) handle->EnumerationIndex = 0;
    return Complete(data, STATUS_NO_MORE_FILES, 0);
  }
  if (page && ContinuesPage(data, *handle, *page)) {
    auto* callerBuffer = static_cast<UCHAR*>(GetOperationBuffer(data));
    if (callerBuffer == nullptr) return Complete(data, STATUS_INVALID_USER_BUFFER, 0);
    return ServePage(data, handle, callerBuffer, page);
  }

  // Everything the query needs is allocated before the handle's state
  // changes: a query that fails for want of pool leaves the handle as it was.
  const bool patternGiven = query.FileName != nullptr && query.FileName->Length != 0;
  OwnedString newPattern;
  if (patternGiven) {
    newPattern = OwnedString::CopyOf(PagedPool, *query.FileName, query.FileName->MaximumLength);
    if (!newPattern.HasBuffer()) return Complete(data, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  const ULONG enumerationIndex = restart ? 0 : handle->EnumerationIndex;
  const ULONG startIndex =
      (flags & SL_INDEX_SPECIFIED) != 0 ? query.FileIndex : enumerationIndex;
  OwnedString entryPath;
  if (handle->IsViewRoot != 1) {
    entryPath = CopyEntryPath(*handle->Entry);
    if (!entryPath.HasBuffer()) return Complete(data, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  // A page the query did not continue is reused only when spent.
  if (page && !ListingPageExhausted(*page)) page.Reset();
  if (WantsPage(data, enumerationIndex) && FetchAnotherListingPage(page.Get())) {
    PreparePage(data, enumerationIndex, &page);
  } else {
    page.Reset();
  }
  const ULONG requestBytes = page ? page->Entries.Size() : query.Length;
  const UNICODE_STRING& directory = handle->IsViewRoot == 1 ? handle->RootPath : entryPath.Get();
  PoolBuffer payload =
      BuildQueryPayload(data, directory, patternGiven ? newPattern.Get() : handle->SearchPattern,
                        startIndex, requestBytes);
  if (!payload) return Complete(data, STATUS_INSUFFICIENT_RESOURCES, 0);
  // An unusable caller buffer (it cannot be locked or mapped) is refused
  // before anything is sent.
  auto* callerBuffer = static_cast<UCHAR*>(GetOperationBuffer(data));
  if (callerBuffer == nullptr) return Complete(data, STATUS_INVALID_USER_BUFFER, 0);

  if (patternGiven) {
    FreeStringBuffer(handle->SearchPattern);
    handle->SearchPattern = newPattern.Release();
  }
  ULONG answerLength = 0;
  NTSTATUS status = SendRequestAndWait(
      payload.Data(), payload.Size(), protocol::kRequestDirectoryListing,
      page ? page->Entries.Data() : callerBuffer, requestBytes, &answerLength);
  // The client's status ends the operation, which this callback completes:
  // completed with STATUS_PENDING, it would leave the I/O manager waiting
  // for a completion that never comes. Such an answer is malformed.
  if (status == STATUS_PENDING) {
    status = STATUS_INVALID_PARAMETER;
    answerLength = 0;
  }
  if (page && answerLength > 0) {
    page->Length = answerLength;
    if (NT_SUCCESS(status) && ListingPageIsWellFormed(*page)) {
      handle->EnumerationIndex = enumerationIndex;
      return ServePage(data, handle, callerBuffer, page);
    }
    // Anything else is passed on as an answer to the caller's buffer
    // would be: cut to its length.
    RtlCopyMemory(callerBuffer, page->Entries.Data(), query.Length);
    if (answerLength > query.Length) answerLength = query.Length;
  }
  // A listing whose first entry did not fit hands that entry out all the
  // same (partly, with STATUS_BUFFER_OVERFLOW), as a file system does: the
  // enumeration goes on after it. Resetting the index there would have the
  // next query list the folder again from its start.
  const bool handedOut = NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW;
  if (handedOut && answerLength > 0) {
    handle->EnumerationIndex = enumerationIndex + CountEntries(callerBuffer, answerLength);
  } else {
    handle->EnumerationIndex = 0;
  }
  return Complete(data, status, answerLength);
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreDirectoryControlOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  ContextRef<StreamHandleContext> handle;
  if (!NT_SUCCESS(FltGetStreamHandleContext(FltObjects->Instance, FltObjects->FileObject,
                                            handle.Receive()))) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  // A context that names neither the root nor a virtual item marks a handle
  // the file system opened: its listing is the file system's.
  const bool viewRoot = handle->IsViewRoot == 1 && handle->RootPath.Buffer != nullptr;
  if (!viewRoot && !IsVirtualOpen(handle.Get())) return FLT_PREOP_SUCCESS_NO_CALLBACK;

  switch (Data->Iopb->MinorFunction) {
    case IRP_MN_NOTIFY_CHANGE_DIRECTORY:
      return Complete(Data, STATUS_NOT_IMPLEMENTED, 0);
    case IRP_MN_QUERY_DIRECTORY:
      return QueryDirectory(Data, handle.Get());
    default:
      // The file system never opened a virtual item: nothing of it goes down.
      if (!viewRoot) return Complete(Data, STATUS_INVALID_DEVICE_REQUEST, 0);
      return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
}

}  // namespace tavo
