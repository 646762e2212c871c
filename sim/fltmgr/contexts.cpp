// Contexts: allocation against the filter's context registrations,
// reference counting with the cleanup callback at the last reference,
// stream contexts in the stream's FSRTL_ADVANCED_FCB_HEADER filter-context
// list, and stream-handle contexts that live as long as their file object.
//
// Stream and stream-handle contexts need an opened file object: one whose
// FsContext points to an advanced FCB header that supports filter contexts
// (the file system's, or the filter's own for the objects it serves). Both
// kinds need that support: on Windows a stream-handle context is a per-file-
// object context, which FsRtl refuses for a stream without it. Setting
// either on a file object nobody has opened yet (in pre-create, or in a
// post-create of a failed open) is the programming error the documentation
// of FltSetStreamHandleContext names: the verifier reports it, and the call
// fails with STATUS_NOT_SUPPORTED (the documentation is silent on the
// status; it is what the missing FCB header makes FsRtl answer).
#include <cstdlib>
#include <map>
#include <new>
#include <set>
#include <string>

#include "fltmgr/filter_manager.h"
#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace sim::fltmgr {
namespace {

struct ContextHeader;

// The entry a stream context puts in the FCB header's FilterContexts list.
struct StreamLink {
  FSRTL_PER_STREAM_CONTEXT perStream;
  ContextHeader* context;
  PFSRTL_ADVANCED_FCB_HEADER header;
};

enum class Attached { Never, Stream, StreamHandle, Gone };

// Lives just before the context body the filter sees.
struct alignas(16) ContextHeader {
  std::uint32_t magic;
  long references;
  FLT_CONTEXT_TYPE type;
  _FLT_FILTER* filter;
  const FLT_CONTEXT_REGISTRATION* registration;
  _FLT_INSTANCE* instance = nullptr;
  Attached attached = Attached::Never;
  StreamLink* link = nullptr;         // stream contexts
  PFILE_OBJECT fileObject = nullptr;  // stream-handle contexts
  bool customAllocation = false;
  void* customBody = nullptr;
  bool reported = false;
};

constexpr std::uint32_t kContextMagic = 0x78746e43;  // 'Cntx'
// OwnerId of the Filter Manager's entries in FilterContexts lists.
char gOwnerId;

// The Filter Manager finds a file object's stream-handle contexts from the
// file object itself. Here they live in State::streamHandle, and a file
// object with an entry there carries this mark in its FileObjectExtension
// (opaque to filters), so that a look-up on any other file object needs
// neither the lock nor the table. The mark is set before an entry becomes
// visible and cleared when the entry goes, both under the lock.
char gStreamHandleMark;

void MarkStreamHandleContexts(PFILE_OBJECT fileObject, bool present) {
  __atomic_store_n(&fileObject->FileObjectExtension, present ? &gStreamHandleMark : nullptr,
                   __ATOMIC_RELEASE);
}

bool MayHaveStreamHandleContexts(PFILE_OBJECT fileObject) {
  return __atomic_load_n(&fileObject->FileObjectExtension, __ATOMIC_ACQUIRE) == &gStreamHandleMark;
}

struct State {
  std::recursive_mutex lock;
  std::set<ContextHeader*> live;
  std::map<PFILE_OBJECT, std::map<_FLT_INSTANCE*, ContextHeader*>> streamHandle;
};

State& S() {
  static State state;
  return state;
}

void* BodyOf(ContextHeader* h) {
  return h->customAllocation ? h->customBody : static_cast<void*>(h + 1);
}

ContextHeader* HeaderOf(PFLT_CONTEXT context) {
  if (!context) return nullptr;
  std::lock_guard guard(S().lock);
  auto* h = static_cast<ContextHeader*>(context) - 1;
  if (S().live.count(h) && h->magic == kContextMagic && !h->customAllocation) return h;
  for (ContextHeader* candidate : S().live) {
    if (candidate->customAllocation && candidate->customBody == context) return candidate;
  }
  return nullptr;
}

// Drops one reference; at the last, runs the cleanup callback and frees.
void Release(ContextHeader* h) {
  {
    std::lock_guard guard(S().lock);
    if (--h->references > 0) return;
    S().live.erase(h);
  }
  const FLT_CONTEXT_REGISTRATION* reg = h->registration;
  if (reg->ContextCleanupCallback && !CallbackAfterUnload(h->filter, "context cleanup")) {
    reg->ContextCleanupCallback(BodyOf(h), h->type);
  }
  if (h->customAllocation && reg->ContextFreeCallback && !h->filter->unregistered) {
    reg->ContextFreeCallback(h->customBody, h->type);
  }
  h->magic = 0;
  std::free(h);
}

// Unlinks a context from its object; the object's reference goes.
void Detach(ContextHeader* h) {
  {
    std::lock_guard guard(S().lock);
    if (h->attached == Attached::Stream) {
      RemoveEntryList(&h->link->perStream.Links);
      delete h->link;
      h->link = nullptr;
    } else if (h->attached == Attached::StreamHandle) {
      auto it = S().streamHandle.find(h->fileObject);
      if (it != S().streamHandle.end()) {
        it->second.erase(h->instance);
        if (it->second.empty()) {
          MarkStreamHandleContexts(it->first, false);
          S().streamHandle.erase(it);
        }
      }
    } else {
      return;
    }
    h->attached = Attached::Gone;
  }
  Release(h);
}

// FreeCallback of a stream context's FilterContexts entry: the file system
// tore the stream down (FsRtlTeardownPerStreamContexts already unlinked it).
void NTAPI FreeStreamLink(PVOID buffer) {
  auto* link = static_cast<StreamLink*>(buffer);
  ContextHeader* h = link->context;
  {
    std::lock_guard guard(S().lock);
    h->attached = Attached::Gone;
    h->link = nullptr;
  }
  delete link;
  Release(h);
}

PFSRTL_ADVANCED_FCB_HEADER StreamHeader(PFILE_OBJECT fileObject) {
  if (!fileObject || !fileObject->FsContext) return nullptr;
  auto* header = static_cast<PFSRTL_ADVANCED_FCB_HEADER>(fileObject->FsContext);
  if (!(header->Flags2 & FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS)) return nullptr;
  return header;
}

StreamLink* FindStreamLink(PFSRTL_ADVANCED_FCB_HEADER header, _FLT_INSTANCE* instance) {
  for (PLIST_ENTRY e = header->FilterContexts.Flink; e != &header->FilterContexts; e = e->Flink) {
    auto* perStream = CONTAINING_RECORD(e, FSRTL_PER_STREAM_CONTEXT, Links);
    if (perStream->OwnerId == &gOwnerId && perStream->InstanceId == instance) {
      return reinterpret_cast<StreamLink*>(perStream);
    }
  }
  return nullptr;
}

// Whether anyone has opened the file object: its create completed, or the
// file system (or a filter serving it) has set FsContext.
bool OpenedByAnyone(PFILE_OBJECT fileObject) {
  if (fileObject->FsContext) return true;
  io::FileObject* file = io::FileObjectFromBody(fileObject);
  return file && (file->opened || file->openedByFileSystem);
}

bool ValidContextFor(ContextHeader* h, FLT_CONTEXT_TYPE type, PFLT_INSTANCE instance) {
  return h && h->type == type && IsInstance(instance) && h->filter == instance->filter;
}

// Contexts whose object is gone (or that were never attached) but are still
// referenced when the test ends are leaks.
kernel::EndOfTestCheckRegistration leakedContexts([] {
  std::lock_guard guard(S().lock);
  for (ContextHeader* h : S().live) {
    if (h->reported || h->attached == Attached::Stream || h->attached == Attached::StreamHandle)
      continue;
    h->reported = true;
    verifier::Report(verifier::Check::FilterManager,
                     "context (type " + std::to_string(h->type) + ") still referenced (" +
                         std::to_string(h->references) + ") after its object is gone");
  }
});

// A fresh machine: contexts are forgotten. The volumes (and the FCB headers
// whose lists held stream contexts) are gone already, so the lists are not
// touched.
kernel::ResetHookRegistration resetContexts(kernel::ResetOrder::FilterManager, [] {
  std::lock_guard guard(S().lock);
  for (ContextHeader* h : S().live) {
    delete h->link;
    std::free(h);
  }
  S().live.clear();
  S().streamHandle.clear();
});

}  // namespace

void DeleteInstanceContexts(_FLT_INSTANCE* instance) {
  std::vector<ContextHeader*> doomed;
  {
    std::lock_guard guard(S().lock);
    for (ContextHeader* h : S().live) {
      if (h->instance == instance &&
          (h->attached == Attached::Stream || h->attached == Attached::StreamHandle)) {
        doomed.push_back(h);
      }
    }
  }
  for (ContextHeader* h : doomed) Detach(h);
}

void ReportContextsAtUnload(_FLT_FILTER* filter) {
  std::lock_guard guard(S().lock);
  for (ContextHeader* h : S().live) {
    if (h->filter != filter || h->reported) continue;
    h->reported = true;
    verifier::Report(verifier::Check::FilterManager,
                     "context (type " + std::to_string(h->type) + ") still referenced (" +
                         std::to_string(h->references) + ") after its filter unloaded");
  }
}

// The file object is gone: its stream-handle contexts go with it.
void OnFileObjectGone(PFILE_OBJECT fileObject) {
  std::vector<ContextHeader*> doomed;
  {
    std::lock_guard guard(S().lock);
    auto it = S().streamHandle.find(fileObject);
    if (it == S().streamHandle.end()) return;
    for (auto& [instance, h] : it->second) doomed.push_back(h);
  }
  for (ContextHeader* h : doomed) Detach(h);
}

}  // namespace sim::fltmgr

using namespace sim::fltmgr;

NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType,
                                   SIZE_T ContextSize, POOL_TYPE PoolType,
                                   PFLT_CONTEXT* ReturnedContext) {
  if (!ReturnedContext) return STATUS_INVALID_PARAMETER;
  *ReturnedContext = nullptr;
  if (!IsFilter(Filter)) return STATUS_INVALID_PARAMETER;
  if (PoolType != NonPagedPool && PoolType != PagedPool && PoolType != NonPagedPoolNx) {
    return STATUS_INVALID_PARAMETER;
  }
  // The registration for the type: an exact size, a size at most the
  // registered one (NO_EXACT_SIZE_MATCH), any size (variable-sized), or the
  // filter's own allocator.
  const FLT_CONTEXT_REGISTRATION* match = nullptr;
  for (const FLT_CONTEXT_REGISTRATION& reg : Filter->contexts) {
    if (reg.ContextType != ContextType) continue;
    const bool fits =
        reg.ContextAllocateCallback != nullptr || reg.Size == FLT_VARIABLE_SIZED_CONTEXTS ||
        reg.Size == ContextSize ||
        ((reg.Flags & FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH) && ContextSize <= reg.Size);
    if (fits) {
      match = &reg;
      break;
    }
  }
  if (!match) return STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;
  if (sim::faults::ShouldFail(sim::faults::Site::ContextAllocation, match->PoolTag)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* h = static_cast<ContextHeader*>(std::calloc(1, sizeof(ContextHeader) + ContextSize));
  if (!h) return STATUS_INSUFFICIENT_RESOURCES;
  new (h) ContextHeader{kContextMagic, 1, ContextType, Filter, match};
  if (match->ContextAllocateCallback) {
    h->customAllocation = true;
    h->customBody = match->ContextAllocateCallback(PoolType, ContextSize, ContextType);
    if (!h->customBody) {
      std::free(h);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  {
    std::lock_guard guard(S().lock);
    S().live.insert(h);
  }
  *ReturnedContext = BodyOf(h);
  return STATUS_SUCCESS;
}

VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context) {
  ContextHeader* h = HeaderOf(Context);
  if (!h) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltReferenceContext of an unknown context");
    return;
  }
  std::lock_guard guard(S().lock);
  ++h->references;
}

VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context) {
  ContextHeader* h = HeaderOf(Context);
  if (!h) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltReleaseContext of an unknown or already freed context");
    return;
  }
  Release(h);
}

VOID FLTAPI FltDeleteContext(PFLT_CONTEXT Context) {
  ContextHeader* h = HeaderOf(Context);
  if (!h) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltDeleteContext of an unknown context");
    return;
  }
  Detach(h);
}

static NTSTATUS SetContext(bool stream, PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                           FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                           PFLT_CONTEXT* OldContext) {
  if (OldContext) *OldContext = nullptr;
  const FLT_CONTEXT_TYPE type = stream ? FLT_STREAM_CONTEXT : FLT_STREAMHANDLE_CONTEXT;
  ContextHeader* h = HeaderOf(NewContext);
  if (!ValidContextFor(h, type, Instance) || !FileObject) return STATUS_INVALID_PARAMETER;
  if (Operation != FLT_SET_CONTEXT_REPLACE_IF_EXISTS &&
      Operation != FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Instance->tearingDown) return STATUS_FLT_DELETING_OBJECT;
  PFSRTL_ADVANCED_FCB_HEADER header = StreamHeader(FileObject);
  if (!header) {
    if (!OpenedByAnyone(FileObject)) {
      sim::verifier::Report(
          sim::verifier::Check::FilterManager,
          std::string(stream ? "FltSetStreamContext" : "FltSetStreamHandleContext") +
              " on a file object that is not opened (pre-create, or a failed open)");
    }
    return STATUS_NOT_SUPPORTED;
  }
  ContextHeader* replaced = nullptr;
  {
    std::lock_guard guard(S().lock);
    if (h->attached != Attached::Never) return STATUS_FLT_CONTEXT_ALREADY_LINKED;
    ContextHeader* existing = nullptr;
    if (stream) {
      if (StreamLink* link = FindStreamLink(header, Instance)) existing = link->context;
    } else {
      auto it = S().streamHandle.find(FileObject);
      if (it != S().streamHandle.end() && it->second.count(Instance))
        existing = it->second[Instance];
    }
    if (existing && Operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
      if (OldContext) {
        ++existing->references;
        *OldContext = BodyOf(existing);
      }
      return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
    }
    if (existing) {
      // Unlink the old one; the caller gets it (with the object's reference).
      if (stream) {
        RemoveEntryList(&existing->link->perStream.Links);
        delete existing->link;
        existing->link = nullptr;
      } else {
        S().streamHandle[FileObject].erase(Instance);
      }
      existing->attached = Attached::Gone;
      replaced = existing;
    }
    h->instance = Instance;
    ++h->references;  // the object's reference
    if (stream) {
      auto* link = new StreamLink{};
      link->perStream.OwnerId = &gOwnerId;
      link->perStream.InstanceId = Instance;
      link->perStream.FreeCallback = FreeStreamLink;
      link->context = h;
      link->header = header;
      InsertHeadList(&header->FilterContexts, &link->perStream.Links);
      h->link = link;
      h->attached = Attached::Stream;
    } else {
      MarkStreamHandleContexts(FileObject, true);
      S().streamHandle[FileObject][Instance] = h;
      h->fileObject = FileObject;
      h->attached = Attached::StreamHandle;
    }
  }
  if (replaced) {
    if (OldContext) {
      *OldContext = BodyOf(replaced);  // the object's reference passes to the caller
    } else {
      Release(replaced);
    }
  }
  return STATUS_SUCCESS;
}

static NTSTATUS GetContext(bool stream, PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                           PFLT_CONTEXT* Context) {
  if (!Context) return STATUS_INVALID_PARAMETER;
  *Context = nullptr;
  if (!IsInstance(Instance) || !FileObject) return STATUS_INVALID_PARAMETER;
  if (!stream && StreamHeader(FileObject) != nullptr && !MayHaveStreamHandleContexts(FileObject))
    return STATUS_NOT_FOUND;
  std::lock_guard guard(S().lock);
  ContextHeader* found = nullptr;
  PFSRTL_ADVANCED_FCB_HEADER header = StreamHeader(FileObject);
  if (!header) return STATUS_NOT_SUPPORTED;
  if (stream) {
    if (StreamLink* link = FindStreamLink(header, Instance)) found = link->context;
  } else {
    auto it = S().streamHandle.find(FileObject);
    if (it != S().streamHandle.end()) {
      auto inner = it->second.find(Instance);
      if (inner != it->second.end()) found = inner->second;
    }
  }
  if (!found) return STATUS_NOT_FOUND;
  ++found->references;
  *Context = BodyOf(found);
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT* OldContext) {
  return SetContext(true, Instance, FileObject, Operation, NewContext, OldContext);
}

NTSTATUS FLTAPI FltSetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                          FLT_SET_CONTEXT_OPERATION Operation,
                                          PFLT_CONTEXT NewContext, PFLT_CONTEXT* OldContext) {
  return SetContext(false, Instance, FileObject, Operation, NewContext, OldContext);
}

NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    PFLT_CONTEXT* Context) {
  return GetContext(true, Instance, FileObject, Context);
}

NTSTATUS FLTAPI FltGetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                          PFLT_CONTEXT* Context) {
  return GetContext(false, Instance, FileObject, Context);
}

void FsRtlTeardownPerStreamContexts(PFSRTL_ADVANCED_FCB_HEADER AdvancedHeader) {
  std::vector<PFSRTL_PER_STREAM_CONTEXT> entries;
  {
    std::lock_guard guard(S().lock);
    while (!IsListEmpty(&AdvancedHeader->FilterContexts)) {
      PLIST_ENTRY e = RemoveHeadList(&AdvancedHeader->FilterContexts);
      InitializeListHead(e);
      entries.push_back(CONTAINING_RECORD(e, FSRTL_PER_STREAM_CONTEXT, Links));
    }
  }
  for (PFSRTL_PER_STREAM_CONTEXT entry : entries) {
    if (entry->FreeCallback) entry->FreeCallback(entry);
  }
}
