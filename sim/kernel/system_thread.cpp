// System threads: PsCreateSystemThread runs the start routine on a real OS
// thread that belongs to the System process (id 4). The thread object is a
// kernel object with a handle, signalled when the thread ends.
//
// PsTerminateSystemThread does not return on Windows and runs no cleanup of
// the frames it abandons. Here the start routine runs inside a setjmp
// context and PsTerminateSystemThread longjmps back to it: the driver frames
// in between are abandoned exactly as on Windows (no destructors run), and
// no exception ever crosses a driver frame.
#include "kernel/system_thread.h"

#include <csetjmp>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/dispatcher.h"
#include "kernel/irql.h"
#include "kernel/kthread.h"
#include "kernel/lifecycle.h"
#include "kernel/object_manager.h"
#include "kernel/thread_state.h"
#include "nt/ntstatus.h"
#include "nt/ps.h"
#include "verifier/verifier.h"

namespace sim::kernel {
namespace {

using verifier::Check;

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::uint64_t id) {
    InitializeThreadBody(&body, id, true);
    RegisterObjectBody(this);
  }
  const char* TypeName() const override { return "Thread"; }
  void* Body() override { return &body; }

  _KTHREAD body;
};

struct Entry {
  std::uint64_t id;
  PKTHREAD body;  // valid while the thread runs (it holds a reference)
  std::thread thread;
  bool finished = false;
};

struct Registry {
  std::mutex lock;
  std::condition_variable changed;
  std::list<Entry> entries;
};

Registry& Get() {
  static Registry* registry = new Registry;
  return *registry;
}

// Where PsTerminateSystemThread returns to.
struct TerminationContext {
  std::jmp_buf jump;
  NTSTATUS status = STATUS_SUCCESS;
};
thread_local TerminationContext* currentTermination = nullptr;

void RunStartRoutine(PKSTART_ROUTINE start, PVOID context, TerminationContext& termination) {
  currentTermination = &termination;
  if (setjmp(termination.jump) == 0) {
    start(context);
    termination.status = STATUS_SUCCESS;
  }
  currentTermination = nullptr;
}

void ThreadMain(ThreadObject* object, PKSTART_ROUTINE start, PVOID context,
                std::uint32_t processId) {
  ThreadState& ts = CurrentThread();
  ts.threadId = object->body.threadId;
  ts.processId = processId;
  ts.isSystemThread = true;
  ts.kthread = &object->body;
  ts.irql = PASSIVE_LEVEL;
  ts.kernelApcDisable = 0;

  TerminationContext termination;
  RunStartRoutine(start, context, termination);

  VerifyKernelStateRestored(KernelStateSnapshot{PASSIVE_LEVEL, 0, 0},
                            "system thread " + std::to_string(ts.threadId));
  // Counted as finished before its object is signalled: a thread that
  // waited for the object sees it gone from the running threads too.
  {
    Registry& r = Get();
    std::lock_guard guard(r.lock);
    for (Entry& entry : r.entries) {
      if (entry.id == ts.threadId) entry.finished = true;
    }
    r.changed.notify_all();
  }
  SignalThreadTerminated(&object->body, termination.status);
  ts.kthread = nullptr;
  object->Dereference();  // the running thread's reference
}

// Joins finished threads; with `detachRunning`, lets the others go.
void Collect(bool detachRunning) {
  std::list<Entry> done;
  {
    Registry& r = Get();
    std::lock_guard guard(r.lock);
    for (auto it = r.entries.begin(); it != r.entries.end();) {
      if (it->finished || detachRunning) {
        done.splice(done.end(), r.entries, it++);
      } else {
        ++it;
      }
    }
  }
  for (Entry& entry : done) {
    if (entry.finished) {
      entry.thread.join();
    } else {
      entry.thread.detach();
    }
  }
}

}  // namespace

namespace system_threads {

bool WaitForAll(std::chrono::milliseconds limit) {
  Registry& r = Get();
  bool all;
  {
    std::unique_lock lk(r.lock);
    all = r.changed.wait_for(lk, limit, [&] {
      for (const Entry& entry : r.entries) {
        if (!entry.finished) return false;
      }
      return true;
    });
  }
  Collect(false);
  return all;
}

bool AllRunningAreWaiting() {
  Registry& r = Get();
  std::lock_guard guard(r.lock);
  for (const Entry& entry : r.entries) {
    if (!entry.finished && !IsThreadWaiting(entry.body)) return false;
  }
  return true;
}

std::size_t RunningCount() {
  Registry& r = Get();
  std::lock_guard guard(r.lock);
  std::size_t running = 0;
  for (const Entry& entry : r.entries) running += entry.finished ? 0 : 1;
  return running;
}

PKTHREAD ReferenceByHandle(HANDLE handle) {
  KernelObject* object = ReferenceHandle(handle, KernelMode);
  if (object == nullptr) return nullptr;
  if (std::string(object->TypeName()) != "Thread") {
    object->Dereference();
    return nullptr;
  }
  return static_cast<PKTHREAD>(object->Body());
}

}  // namespace system_threads

namespace {
// Before anything else is reset: a fresh machine has no system threads.
// Threads that are still running (already reported) are let go.
ResetHookRegistration resetThreads(static_cast<ResetOrder>(0), [] {
  system_threads::WaitForAll(std::chrono::milliseconds(0));
  Collect(true);
});
}  // namespace

}  // namespace sim::kernel

using namespace sim::kernel;

// The handle is a kernel handle when asked for with OBJ_KERNEL_HANDLE, or
// when the caller runs in the System process, whose handle table is the
// kernel's. Only the System process (no ProcessHandle) and the caller's own
// process (NtCurrentProcess()) are supported as the thread's process.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  if (ThreadHandle == NULL || StartRoutine == NULL) return STATUS_INVALID_PARAMETER;
  ThreadState& caller = CurrentThread();
  std::uint32_t processId = kSystemProcessId;
  if (ProcessHandle == reinterpret_cast<HANDLE>(-1)) {
    processId = caller.processId;
  } else if (ProcessHandle != NULL) {
    return STATUS_NOT_SUPPORTED;
  }
  if (caller.irql > PASSIVE_LEVEL) {
    sim::verifier::Report(Check::Irql,
                          "PsCreateSystemThread at IRQL " + std::to_string(caller.irql));
  }

  const std::uint64_t id = AllocateThreadId();
  auto* object = new ThreadObject(id);
  const bool kernelHandle =
      (ObjectAttributes != NULL && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE)) ||
      caller.processId == kSystemProcessId;
  *ThreadHandle = InsertHandle(object, DesiredAccess, kernelHandle);
  if (ClientId != NULL) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(processId));
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id));
  }

  Registry& r = Get();
  std::lock_guard guard(r.lock);
  Entry& entry = r.entries.emplace_back();
  entry.id = id;
  entry.body = &object->body;
  entry.thread = std::thread(ThreadMain, object, StartRoutine, StartContext, processId);
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  if (!CurrentThread().isSystemThread || currentTermination == nullptr) {
    sim::verifier::Report(Check::Thread,
                          "PsTerminateSystemThread called by a thread that is not a system thread");
    return STATUS_INVALID_PARAMETER;
  }
  currentTermination->status = ExitStatus;
  std::longjmp(currentTermination->jump, 1);
}

HANDLE PsGetCurrentThreadId(void) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(CurrentThread().threadId));
}

PETHREAD PsGetCurrentThread(void) {
  return reinterpret_cast<PETHREAD>(CurrentKThread());
}

HANDLE PsGetThreadId(PETHREAD Thread) {
  return reinterpret_cast<HANDLE>(
      static_cast<ULONG_PTR>(reinterpret_cast<PKTHREAD>(Thread)->threadId));
}

BOOLEAN PsIsSystemThread(PETHREAD Thread) {
  return reinterpret_cast<PKTHREAD>(Thread)->systemThread ? TRUE : FALSE;
}

BOOLEAN PsIsThreadTerminating(PETHREAD Thread) {
  return IsThreadTerminated(reinterpret_cast<PKTHREAD>(Thread)) ? TRUE : FALSE;
}
