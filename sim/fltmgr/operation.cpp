// The operation path: each operation passes the pre-operation callbacks of
// the instances on its volume (highest altitude first), the file system,
// then the post-operation callbacks in reverse. Every callback status is
// honoured: pending pre- and post-operations wait in the issuing thread until
// the filter completes them, as a synchronous request waits for its IRP.
// With the BelowPending fault the file system's answer arrives the way a
// request pended below and completed later does (see CompletePendedBelow).
#include <string>
#include <thread>
#include <unordered_set>

#include "fltmgr/filter_manager.h"
#include "kernel/lifecycle.h"
#include "kernel/process_table.h"
#include "kernel/thread_state.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace sim::fltmgr {
namespace {

using io::Operation;

struct LiveOperations {
  std::mutex lock;
  std::unordered_set<Operation*> ops;
};

LiveOperations& Live() {
  static LiveOperations live;
  return live;
}

void Violation(const std::string& text) {
  verifier::Report(verifier::Check::FilterManager, text);
}

std::string MajorName(UCHAR major) {
  static const char digits[] = "0123456789abcdef";
  return std::string("major 0x") + digits[major >> 4] + digits[major & 15];
}

// Runs a pre-operation callback at the delivery IRQL and checks that it
// leaves the thread as it found it.
FLT_PREOP_CALLBACK_STATUS CallPre(PFLT_PRE_OPERATION_CALLBACK pre, Operation& op,
                                  PCFLT_RELATED_OBJECTS objects, PVOID* context) {
  kernel::ThreadState& thread = kernel::CurrentThread();
  const KIRQL saved = thread.irql;
  const int regions = thread.kernelApcDisable;
  const KIRQL delivery =
      op.iopb.MajorFunction == IRP_MJ_CLOSE || op.iopb.MajorFunction == IRP_MJ_CLEANUP
          ? saved
          : std::max<KIRQL>(saved, PreOperationIrql());
  thread.irql = delivery;
  FLT_PREOP_CALLBACK_STATUS status = pre(&op.data, objects, context);
  if (thread.irql != delivery) {
    verifier::Report(verifier::Check::Irql, "pre-operation callback returned at another IRQL");
  }
  if (thread.kernelApcDisable != regions) {
    verifier::Report(verifier::Check::CriticalRegionUnbalanced,
                     "pre-operation callback returned with unbalanced critical regions");
  }
  thread.irql = saved;
  return status;
}

FLT_POSTOP_CALLBACK_STATUS CallPost(PFLT_POST_OPERATION_CALLBACK post, Operation& op,
                                    PCFLT_RELATED_OBJECTS objects, PVOID context,
                                    FLT_POST_OPERATION_FLAGS flags) {
  kernel::ThreadState& thread = kernel::CurrentThread();
  const KIRQL saved = thread.irql;
  const int regions = thread.kernelApcDisable;
  FLT_POSTOP_CALLBACK_STATUS status = post(&op.data, objects, context, flags);
  if (thread.irql != saved) {
    verifier::Report(verifier::Check::Irql, "post-operation callback returned at another IRQL");
    thread.irql = saved;
  }
  if (thread.kernelApcDisable != regions) {
    verifier::Report(verifier::Check::CriticalRegionUnbalanced,
                     "post-operation callback returned with unbalanced critical regions");
  }
  return status;
}

// Blocks the issuing thread until the filter completes the pended stage.
void WaitForPendedCompletion(Operation& op) {
  std::unique_lock guard(op.lock);
  op.pendWaiting = true;
  op.cv.wait(guard, [&] {
    const Operation::Pend stage = op.pend.load();
    return stage == Operation::Pend::PreDone || stage == Operation::Pend::PostDone;
  });
  op.pendWaiting = false;
  op.pend.store(Operation::Pend::None);
}

void BeginPend(Operation& op, Operation::Pend stage, _FLT_INSTANCE* instance) {
  op.pendedInstance.store(instance, std::memory_order_relaxed);
  op.pend.store(stage, std::memory_order_release);
}

// The callback returned without pending: a completion it made of its stage
// meanwhile is a violation.
void EndUnpended(Operation& op, const char* violation) {
  const Operation::Pend stage = op.pend.exchange(Operation::Pend::None);
  if (stage == Operation::Pend::PreDone || stage == Operation::Pend::PostDone) Violation(violation);
}

struct PostEntry {
  _FLT_INSTANCE* instance;
  PVOID context;
  bool synchronized;  // the pre-operation returned FLT_PREOP_SYNCHRONIZE
};

// Rundown without the lock on every operation (see activeOperations): only
// the last operation out of an instance being torn down wakes the teardown,
// under the lock it waits with, so the wake-up cannot be lost.
void LeaveInstance(_FLT_INSTANCE* instance) {
  if (instance->activeOperations.fetch_sub(1) != 1 || !instance->tearingDown) return;
  std::lock_guard guard(Lock());
  RundownChanged().notify_all();
}

bool EnterInstance(_FLT_INSTANCE* instance) {
  instance->activeOperations.fetch_add(1);
  if (instance->tearingDown || instance->filter->unregistered) {
    LeaveInstance(instance);
    return false;
  }
  return true;
}

// Cleanup and close cannot fail: the I/O manager ignores their status and
// the file object goes regardless, so a filter that completes either with
// an error status has lost track of the object.
void CheckCleanupCloseStatus(const Operation& op, const char* who) {
  const UCHAR major = op.iopb.MajorFunction;
  if (major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) return;
  if (NT_SUCCESS(op.data.IoStatus.Status)) return;
  Violation(std::string(who) + " completed " +
            (major == IRP_MJ_CLEANUP ? "IRP_MJ_CLEANUP" : "IRP_MJ_CLOSE") + " with error status " +
            std::to_string(op.data.IoStatus.Status));
}

// A post-create that fails a create the file system (or a filter below)
// completed successfully must close the file below it first with
// FltCancelFileOpen; otherwise the file stays open below for good.
// STATUS_REPARSE opened nothing and needs no cancel.
void CheckCreateNotFailedWithoutCancel(const Operation& op, NTSTATUS before) {
  if (op.iopb.MajorFunction != IRP_MJ_CREATE) return;
  if (!NT_SUCCESS(before) || before == STATUS_REPARSE) return;
  if (NT_SUCCESS(op.data.IoStatus.Status)) return;
  if (op.iopb.TargetFileObject->Flags & FO_FILE_OPEN_CANCELLED) return;
  Violation("post-create failed a create that succeeded below (status " +
            std::to_string(op.data.IoStatus.Status) + ") without FltCancelFileOpen");
}

void RunPostOperations(Operation& op, const std::vector<PostEntry>& posts) {
  op.data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
  for (auto it = posts.rbegin(); it != posts.rend(); ++it) {
    _FLT_INSTANCE* instance = it->instance;
    _FLT_FILTER* filter = instance->filter;
    const FLT_OPERATION_REGISTRATION* reg = filter->operations[op.iopb.MajorFunction];
    op.iopb.TargetInstance = instance;
    FLT_RELATED_OBJECTS objects{
        sizeof(FLT_RELATED_OBJECTS), 0,      filter, instance->volume, instance,
        op.iopb.TargetFileObject,    nullptr};
    if (!CallbackAfterUnload(filter, "post-operation")) {
      const FLT_POST_OPERATION_FLAGS flags =
          instance->tearingDown ? FLTFL_POST_OPERATION_DRAINING : 0;
      // Marked pending before the call: the filter may complete it from
      // another thread before its post-operation returns.
      BeginPend(op, Operation::Pend::Post, instance);
      const NTSTATUS before = op.data.IoStatus.Status;
      FLT_POSTOP_CALLBACK_STATUS status =
          CallPost(reg->PostOperation, op, &objects, it->context, flags);
      if (status == FLT_POSTOP_MORE_PROCESSING_REQUIRED) {
        if (op.fastIo)
          Violation("FLT_POSTOP_MORE_PROCESSING_REQUIRED returned for a fast I/O operation");
        WaitForPendedCompletion(op);
      } else {
        EndUnpended(op, "FltCompletePendedPostOperation for an operation that was not pended");
      }
      CheckCreateNotFailedWithoutCancel(op, before);
      if (NT_SUCCESS(before)) CheckCleanupCloseStatus(op, "a post-operation");
      if (status == FLT_POSTOP_DISALLOW_FSFILTER_IO) {
        Violation("FLT_POSTOP_DISALLOW_FSFILTER_IO returned for " +
                  MajorName(op.iopb.MajorFunction));
      } else if (status != FLT_POSTOP_FINISHED_PROCESSING &&
                 status != FLT_POSTOP_MORE_PROCESSING_REQUIRED) {
        Violation("unknown post-operation status " + std::to_string(static_cast<int>(status)) +
                  " for " + MajorName(op.iopb.MajorFunction));
      }
    }
    LeaveInstance(instance);
  }
  op.data.Flags &= ~FLTFL_CALLBACK_DATA_POST_OPERATION;
}

// Whether the file system may answer this operation with STATUS_PENDING.
// Fast I/O cannot pend; the Filter Manager always waits for creates itself
// (their post-operations run in the creating thread at PASSIVE_LEVEL); and
// cleanup, close and the query-open the sim's file systems complete
// synchronously, as NTFS does.
bool CanPendBelow(const Operation& op) {
  if (op.fastIo || FLT_IS_FS_FILTER_OPERATION(&op.data)) return false;
  switch (op.iopb.MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
    case IRP_MJ_NETWORK_QUERY_OPEN:
      return false;
    default:
      return true;
  }
}

// The file system returned STATUS_PENDING and completed the request later,
// from its own context: completion processing, and so the post-operations of
// the instances that asked for one with FLT_PREOP_SUCCESS_WITH_CALLBACK, runs
// at DISPATCH_LEVEL in an arbitrary thread (here a System thread that is not
// the requestor's). An instance that returned FLT_PREOP_SYNCHRONIZE is
// different: the Filter Manager waits in the issuing thread for the
// completion and calls its post-operation there, below DISPATCH_LEVEL; the
// completion processing above it then goes on in that thread too. The
// requestor waits for the whole completion, as a synchronous request does.
// The file system did its work in the issuing thread before "pending"; only
// the delivery differs. No FLTFL_CALLBACK_DATA flag tells a filter that the
// request was pended below: what it observes is the IRQL, the thread and the
// process context of its post-operation.
void CompletePendedBelow(Operation& op, const std::vector<PostEntry>& posts) {
  std::size_t firstAsync = 0;  // posts[firstAsync..] are below every synchronized instance
  for (std::size_t i = posts.size(); i > 0; --i) {
    if (posts[i - 1].synchronized) {
      firstAsync = i;
      break;
    }
  }
  const std::vector<PostEntry> below(posts.begin() + static_cast<std::ptrdiff_t>(firstAsync),
                                     posts.end());
  const std::vector<PostEntry> above(posts.begin(),
                                     posts.begin() + static_cast<std::ptrdiff_t>(firstAsync));
  std::thread completion([&op, &below] {
    kernel::ThreadState& thread = kernel::CurrentThread();
    thread.processId = kernel::kSystemProcessId;
    thread.isSystemThread = true;
    thread.irql = DISPATCH_LEVEL;
    RunPostOperations(op, below);
    thread.irql = PASSIVE_LEVEL;
  });
  completion.join();
  RunPostOperations(op, above);
}

// Pended operations nobody completed: each is reported, then completed with
// STATUS_CANCELLED so that the thread waiting for it can finish.
kernel::EndOfTestCheckRegistration pendedNeverCompleted([] {
  std::lock_guard guard(Live().lock);
  for (Operation* op : Live().ops) {
    std::lock_guard opGuard(op->lock);
    const Operation::Pend stage = op->pend.load();
    if ((stage != Operation::Pend::Pre && stage != Operation::Pend::Post) || !op->pendWaiting) {
      continue;
    }
    Violation(std::string(stage == Operation::Pend::Pre ? "pre" : "post") +
              "-operation pended and never completed (" + MajorName(op->iopb.MajorFunction) + ")");
    if (stage == Operation::Pend::Pre) {
      op->pendedStatus = FLT_PREOP_COMPLETE;
      op->pendedContext = nullptr;
      op->data.IoStatus.Status = STATUS_CANCELLED;
      op->data.IoStatus.Information = 0;
    }
    op->pend.store(stage == Operation::Pend::Pre ? Operation::Pend::PreDone
                                                 : Operation::Pend::PostDone);
    op->cv.notify_all();
  }
});

// The live operation of `data` with its lock taken, or null. The lock is
// taken while the operation is still known live, and SendOperation takes it
// once more after forgetting the operation: a completion from another
// thread (a stray one included) is done with the operation before it ends.
Operation* LockLive(PFLT_CALLBACK_DATA data, std::unique_lock<std::mutex>* guard) {
  auto* op = reinterpret_cast<Operation*>(data);
  std::lock_guard live(Live().lock);
  if (!Live().ops.count(op)) return nullptr;
  *guard = std::unique_lock(op->lock);
  return op;
}

}  // namespace

// The operation a callback data belongs to (callback data live only inside
// their operation).
io::Operation* OperationOf(PFLT_CALLBACK_DATA data) {
  return reinterpret_cast<io::Operation*>(data);
}

}  // namespace sim::fltmgr

namespace sim::io {

NTSTATUS SendOperation(Operation& op) {
  using namespace sim::fltmgr;
  {
    std::lock_guard guard(Live().lock);
    Live().ops.insert(&op);
  }
  if (op.fastIo) {
    op.data.Flags = (op.data.Flags & ~FLTFL_CALLBACK_DATA_IRP_OPERATION) |
                    FLTFL_CALLBACK_DATA_FAST_IO_OPERATION;
  }
  const UCHAR major = op.iopb.MajorFunction;
  std::vector<PostEntry> posts;
  bool completed = false;
  _FLT_VOLUME* fv = op.volume ? op.volume->filterVolume : nullptr;

  const InstanceList instances = InstancesBelow(fv, op.startBelow);
  for (std::size_t next = 0; next < instances.size(); ++next) {
    _FLT_INSTANCE* instance = instances[next];
    _FLT_FILTER* filter = instance->filter;
    const FLT_OPERATION_REGISTRATION* reg = filter->operations[major];
    if (!reg || (!reg->PreOperation && !reg->PostOperation)) continue;
    if (!EnterInstance(instance)) continue;
    op.iopb.TargetInstance = instance;
    FLT_RELATED_OBJECTS objects{
        sizeof(FLT_RELATED_OBJECTS), 0,      filter, instance->volume, instance,
        op.iopb.TargetFileObject,    nullptr};
    FLT_PREOP_CALLBACK_STATUS status = FLT_PREOP_SUCCESS_WITH_CALLBACK;
    PVOID context = nullptr;
    if (reg->PreOperation) {
      // Marked pending before the call: the filter may complete it from
      // another thread before its pre-operation returns.
      BeginPend(op, Operation::Pend::Pre, instance);
      status = CallPre(reg->PreOperation, op, &objects, &context);
      if (status == FLT_PREOP_PENDING) {
        if (op.fastIo) Violation("FLT_PREOP_PENDING returned for a fast I/O operation");
        if (context) Violation("completion context returned with FLT_PREOP_PENDING");
        WaitForPendedCompletion(op);
        status = op.pendedStatus;
        context = op.pendedContext;
      } else {
        EndUnpended(op, "FltCompletePendedPreOperation for an operation that was not pended");
      }
    }
    const bool contextAllowed =
        status == FLT_PREOP_SUCCESS_WITH_CALLBACK || status == FLT_PREOP_SYNCHRONIZE;
    if (context && !contextAllowed) {
      Violation("completion context returned with pre-operation status " +
                std::to_string(static_cast<int>(status)) + " for " + MajorName(major));
      context = nullptr;
    }
    switch (status) {
      case FLT_PREOP_SUCCESS_WITH_CALLBACK:
      case FLT_PREOP_SYNCHRONIZE:
        if (reg->PostOperation) {
          posts.push_back({instance, context, status == FLT_PREOP_SYNCHRONIZE});
          continue;  // the instance stays entered until its post-operation
        }
        break;
      case FLT_PREOP_SUCCESS_NO_CALLBACK:
        break;
      case FLT_PREOP_COMPLETE:
        CheckCleanupCloseStatus(op, "a pre-operation");
        completed = true;
        break;
      case FLT_PREOP_DISALLOW_FASTIO:
        // Refusing the fast path sends the request again as an IRP; for an
        // IRP it means no post-operation.
        if (op.fastIo) {
          op.fastIoRefused = true;
          op.data.IoStatus.Status = STATUS_FLT_DISALLOW_FAST_IO;
          op.data.IoStatus.Information = 0;
          completed = true;
        }
        break;
      case FLT_PREOP_DISALLOW_FSFILTER_IO:
        Violation("FLT_PREOP_DISALLOW_FSFILTER_IO returned for " + MajorName(major));
        break;
      default:
        Violation("unknown pre-operation status " + std::to_string(static_cast<int>(status)) +
                  " for " + MajorName(major));
        break;
    }
    LeaveInstance(instance);
    if (completed) break;
  }

  bool pendedBelow = false;
  if (!completed) {
    pendedBelow = CanPendBelow(op) && faults::ShouldFail(faults::Site::BelowPending);
    CallFileSystem(op);
    pendedBelow = pendedBelow || op.pendedByFileSystem;
  }
  if (pendedBelow) {
    CompletePendedBelow(op, posts);
  } else {
    RunPostOperations(op, posts);
  }
  {
    std::lock_guard guard(Live().lock);
    Live().ops.erase(&op);
  }
  // A completion that found the operation live may still hold its lock:
  // the operation ends only after it lets go.
  { std::lock_guard drained(op.lock); }
  return op.data.IoStatus.Status;
}

}  // namespace sim::io

using sim::fltmgr::LockLive;
using sim::io::Operation;

VOID FLTAPI FltCompletePendedPreOperation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_PREOP_CALLBACK_STATUS CallbackStatus, PVOID Context) {
  std::unique_lock<std::mutex> guard;
  Operation* op = LockLive(CallbackData, &guard);
  if (!op) {
    sim::fltmgr::Violation(
        "FltCompletePendedPreOperation for an operation that is not pending (completed twice?)");
    return;
  }
  if (op->pend.load() != Operation::Pend::Pre) {
    sim::fltmgr::Violation(
        "FltCompletePendedPreOperation for an operation that is not pending (completed twice?)");
    return;
  }
  if (CallbackStatus != FLT_PREOP_SUCCESS_WITH_CALLBACK &&
      CallbackStatus != FLT_PREOP_SUCCESS_NO_CALLBACK && CallbackStatus != FLT_PREOP_COMPLETE &&
      CallbackStatus != FLT_PREOP_SYNCHRONIZE) {
    sim::fltmgr::Violation("FltCompletePendedPreOperation with status " +
                           std::to_string(static_cast<int>(CallbackStatus)));
    CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  op->pendedStatus = CallbackStatus;
  op->pendedContext = Context;
  // The issuing thread may have gone on meanwhile (the callback returned
  // without pending): then the exchange fails here, or it sees PreDone.
  auto stage = Operation::Pend::Pre;
  if (!op->pend.compare_exchange_strong(stage, Operation::Pend::PreDone)) {
    sim::fltmgr::Violation(
        "FltCompletePendedPreOperation for an operation that is not pending (completed twice?)");
    return;
  }
  op->cv.notify_all();
}

VOID FLTAPI FltCompletePendedPostOperation(PFLT_CALLBACK_DATA CallbackData) {
  std::unique_lock<std::mutex> guard;
  Operation* op = LockLive(CallbackData, &guard);
  auto stage = Operation::Pend::Post;
  if (!op || !op->pend.compare_exchange_strong(stage, Operation::Pend::PostDone)) {
    sim::fltmgr::Violation(
        "FltCompletePendedPostOperation for an operation that is not pending (completed twice?)");
    return;
  }
  op->cv.notify_all();
}

VOID FLTAPI FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data) {
  Data->Flags |= FLTFL_CALLBACK_DATA_DIRTY;
}
VOID FLTAPI FltClearCallbackDataDirty(PFLT_CALLBACK_DATA Data) {
  Data->Flags &= ~FLTFL_CALLBACK_DATA_DIRTY;
}
BOOLEAN FLTAPI FltIsCallbackDataDirty(PFLT_CALLBACK_DATA Data) {
  return (Data->Flags & FLTFL_CALLBACK_DATA_DIRTY) != 0;
}

BOOLEAN FLTAPI FltIsOperationSynchronous(PFLT_CALLBACK_DATA CallbackData) {
  if (!FLT_IS_IRP_OPERATION(CallbackData)) return TRUE;
  if (CallbackData->Iopb->IrpFlags & (IRP_SYNCHRONOUS_API | IRP_SYNCHRONOUS_PAGING_IO)) return TRUE;
  PFILE_OBJECT fo = CallbackData->Iopb->TargetFileObject;
  return fo && (fo->Flags & FO_SYNCHRONOUS_IO);
}

ULONG FLTAPI FltGetRequestorProcessId(PFLT_CALLBACK_DATA CallbackData) {
  return sim::fltmgr::OperationOf(CallbackData)->requestorProcessId;
}

HANDLE FLTAPI FltGetRequestorProcessIdEx(PFLT_CALLBACK_DATA CallbackData) {
  return reinterpret_cast<HANDLE>(
      static_cast<ULONG_PTR>(sim::fltmgr::OperationOf(CallbackData)->requestorProcessId));
}

NTSTATUS FLTAPI FltGetRequestorSessionId(PFLT_CALLBACK_DATA CallbackData, PULONG SessionId) {
  if (!SessionId) return STATUS_INVALID_PARAMETER;
  auto process =
      sim::kernel::FindProcess(sim::fltmgr::OperationOf(CallbackData)->requestorProcessId);
  if (!process) return STATUS_UNSUCCESSFUL;
  *SessionId = process->sessionId;
  return STATUS_SUCCESS;
}

PEPROCESS FLTAPI FltGetRequestorProcess(PFLT_CALLBACK_DATA CallbackData) {
  return sim::kernel::ProcessBody(sim::fltmgr::OperationOf(CallbackData)->requestorProcessId);
}

NTSTATUS FLTAPI FltLockUserBuffer(PFLT_CALLBACK_DATA CallbackData) {
  Operation* op = sim::fltmgr::OperationOf(CallbackData);
  if (sim::kernel::CurrentThread().irql > APC_LEVEL) {
    sim::verifier::Report(sim::verifier::Check::Irql, "FltLockUserBuffer above APC_LEVEL");
  }
  auto& p = op->iopb.Parameters;
  PVOID buffer = nullptr;
  ULONG length = 0;
  PMDL* mdlSlot = nullptr;
  switch (op->iopb.MajorFunction) {
    case IRP_MJ_READ:
      buffer = p.Read.ReadBuffer;
      length = p.Read.Length;
      mdlSlot = &p.Read.MdlAddress;
      break;
    case IRP_MJ_WRITE:
      buffer = p.Write.WriteBuffer;
      length = p.Write.Length;
      mdlSlot = &p.Write.MdlAddress;
      break;
    case IRP_MJ_DIRECTORY_CONTROL:
      buffer = p.DirectoryControl.QueryDirectory.DirectoryBuffer;
      length = p.DirectoryControl.QueryDirectory.Length;
      mdlSlot = &p.DirectoryControl.QueryDirectory.MdlAddress;
      break;
    case IRP_MJ_QUERY_EA:
      buffer = p.QueryEa.EaBuffer;
      length = p.QueryEa.Length;
      mdlSlot = &p.QueryEa.MdlAddress;
      break;
    case IRP_MJ_QUERY_SECURITY:
      buffer = p.QuerySecurity.SecurityBuffer;
      length = p.QuerySecurity.Length;
      mdlSlot = &p.QuerySecurity.MdlAddress;
      break;
    case IRP_MJ_FILE_SYSTEM_CONTROL:
    case IRP_MJ_DEVICE_CONTROL:
      buffer = p.DeviceIoControl.Neither.OutputBuffer;
      length = p.DeviceIoControl.Neither.OutputBufferLength;
      mdlSlot = &p.DeviceIoControl.Neither.OutputMdlAddress;
      break;
    default:
      // Operations whose buffers are system buffers need no locking.
      return STATUS_SUCCESS;
  }
  if (*mdlSlot || !buffer || length == 0) return STATUS_SUCCESS;
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
  if (!mdl) return STATUS_INSUFFICIENT_RESOURCES;
  MmProbeAndLockPages(mdl, CallbackData->RequestorMode, IoWriteAccess);
  *mdlSlot = mdl;
  op->lockedMdl = mdl;
  return STATUS_SUCCESS;
}

// FltCancelFileOpen: documented for a post-create only, before any handle
// exists, at PASSIVE_LEVEL. Filters above the caller see the create fail
// (the caller sets the failure status); the instances below it and the
// file system see the file opened and closed: cleanup and close are sent
// below the caller here, and FO_FILE_OPEN_CANCELLED marks the file object.
VOID FLTAPI FltCancelFileOpen(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject) {
  using sim::fltmgr::Violation;
  Operation* create = nullptr;
  {
    std::lock_guard guard(sim::fltmgr::Live().lock);
    for (Operation* op : sim::fltmgr::Live().ops) {
      if (op->iopb.MajorFunction != IRP_MJ_CREATE || op->iopb.TargetFileObject != FileObject)
        continue;
      std::lock_guard opGuard(op->lock);
      if (op->pend.load() == Operation::Pend::Post && op->pendedInstance.load() == Instance) {
        create = op;
      }
    }
  }
  if (!create || !FileObject) {
    Violation("FltCancelFileOpen outside the caller's post-create of that file object");
    return;
  }
  if (sim::kernel::CurrentThread().irql != PASSIVE_LEVEL) {
    sim::verifier::Report(sim::verifier::Check::Irql, "FltCancelFileOpen above PASSIVE_LEVEL");
  }
  if (FileObject->Flags & FO_HANDLE_CREATED) {
    Violation("FltCancelFileOpen after a handle was created for the file object");
    return;
  }
  if (FileObject->Flags & FO_FILE_OPEN_CANCELLED) {
    Violation("FltCancelFileOpen twice for one file object");
    return;
  }
  const NTSTATUS status = create->data.IoStatus.Status;
  if (!NT_SUCCESS(status) || status == STATUS_REPARSE) {
    Violation("FltCancelFileOpen for a create that opened nothing (status " +
              std::to_string(status) + ")");
    return;
  }
  FileObject->Flags |= FO_FILE_OPEN_CANCELLED;
  sim::io::FileObject* file = create->file;
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    Operation undo(create->volume, file, major, 0);
    undo.startBelow = Instance;
    undo.data.RequestorMode = create->data.RequestorMode;
    sim::io::SendOperation(undo);
  }
  FileObject->Flags |= FO_CLEANUP_COMPLETE;
  if (file) file->openedByFileSystem = false;  // closed below: nothing left to close
}
