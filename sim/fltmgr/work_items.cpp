// Deferred I/O work items: the routine runs on a
// system worker thread at PASSIVE_LEVEL. Each queued item gets its own
// worker, so that items that wait for one another cannot deadlock the queue;
// the harness drains them between tests, and may hold queued routines at a
// gate until it releases them (a timing the system work queues allow).
#include <list>
#include <thread>

#include "fltmgr/filter_manager.h"
#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

struct _FLT_DEFERRED_IO_WORKITEM {
  std::uint32_t magic;
  bool queued;
};

namespace sim::fltmgr {
namespace {

constexpr std::uint32_t kDeferredMagic = 0x6b726f57;  // 'Work'

struct Workers {
  std::mutex lock;
  std::condition_variable idle;
  std::list<std::thread> threads;
  long running = 0;
  // Harness hold: queued routines wait at the gate until it opens.
  std::condition_variable gateChanged;
  bool held = false;
  std::size_t waitingAtGate = 0;

  ~Workers() {
    for (auto& t : threads) {
      if (t.joinable()) t.join();
    }
  }
};

Workers& W() {
  static Workers workers;
  return workers;
}

void RunOnWorker(_FLT_FILTER* filter, std::function<void()> routine) {
  ++filter->outstandingWork;
  std::lock_guard guard(W().lock);
  ++W().running;
  W().threads.emplace_back([filter, routine = std::move(routine)] {
    kernel::ThreadState& thread = kernel::CurrentThread();
    thread.processId = kernel::kSystemProcessId;
    thread.isSystemThread = true;
    thread.irql = PASSIVE_LEVEL;
    {
      std::unique_lock gate(W().lock);
      ++W().waitingAtGate;
      W().gateChanged.notify_all();
      W().gateChanged.wait(gate, [] { return !W().held; });
      --W().waitingAtGate;
    }
    if (!CallbackAfterUnload(filter, "work item routine")) routine();
    if (thread.irql != PASSIVE_LEVEL) {
      verifier::Report(verifier::Check::Irql, "work item routine returned above PASSIVE_LEVEL");
    }
    --filter->outstandingWork;
    std::lock_guard guard(W().lock);
    if (--W().running == 0) W().idle.notify_all();
  });
}

void DrainNow();

// Work a test queued has finished by the time the test ends.
kernel::EndOfTestCheckRegistration drainAtEnd([] { DrainNow(); });

}  // namespace

void HoldWorkItems(bool hold) {
  std::lock_guard guard(W().lock);
  W().held = hold;
  W().gateChanged.notify_all();
}

bool WaitForHeldWorkItems(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock guard(W().lock);
  return W().gateChanged.wait_for(guard, limit, [count] { return W().waitingAtGate >= count; });
}

void DrainWorkItems() {
  // Draining opens a gate a test left closed: every item then runs.
  HoldWorkItems(false);
  std::list<std::thread> threads;
  {
    std::unique_lock guard(W().lock);
    W().idle.wait(guard, [] { return W().running == 0; });
    threads.swap(W().threads);
  }
  for (auto& t : threads) t.join();
}

namespace {
void DrainNow() {
  DrainWorkItems();
}
}  // namespace

io::Operation* OperationOf(PFLT_CALLBACK_DATA data);

}  // namespace sim::fltmgr

using namespace sim::fltmgr;

PFLT_DEFERRED_IO_WORKITEM FLTAPI FltAllocateDeferredIoWorkItem(void) {
  if (sim::faults::ShouldFail(sim::faults::Site::WorkItemAllocation)) return nullptr;
  return new _FLT_DEFERRED_IO_WORKITEM{kDeferredMagic, false};
}

VOID FLTAPI FltFreeDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem) {
  if (!FltWorkItem || FltWorkItem->magic != kDeferredMagic) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltFreeDeferredIoWorkItem of an unknown work item");
    return;
  }
  FltWorkItem->magic = 0;
  delete FltWorkItem;
}

// Only IRP-based operations can be posted; paging I/O cannot (it may be the
// I/O a worker would need to make progress).
NTSTATUS FLTAPI FltQueueDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem,
                                           PFLT_CALLBACK_DATA Data,
                                           PFLT_DEFERRED_IO_WORKITEM_ROUTINE WorkerRoutine,
                                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  (void)QueueType;
  if (!FltWorkItem || FltWorkItem->magic != kDeferredMagic || !Data || !WorkerRoutine) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!FLT_IS_IRP_OPERATION(Data) || (Data->Iopb->IrpFlags & IRP_PAGING_IO)) {
    return STATUS_FLT_NOT_SAFE_TO_POST_OPERATION;
  }
  PFLT_INSTANCE instance = Data->Iopb->TargetInstance;
  if (!IsInstance(instance)) return STATUS_INVALID_PARAMETER;
  if (instance->tearingDown) return STATUS_FLT_DELETING_OBJECT;
  RunOnWorker(instance->filter, [=] { WorkerRoutine(FltWorkItem, Data, Context); });
  return STATUS_SUCCESS;
}

