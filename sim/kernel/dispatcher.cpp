// Dispatcher objects and waits: events, mutexes, thread objects,
// KeWaitForSingleObject / KeWaitForMultipleObjects / KeDelayExecutionThread,
// alerts.
//
// One dispatcher lock guards every dispatcher object's state and wait list,
// as the dispatcher database does on Windows. A waiter links one KWAIT_BLOCK
// per object into the object's WaitListHead. Signalling an object satisfies
// waiters in FIFO order directly (a synchronization event set with waiters
// wakes exactly one and stays not signalled; a released mutex passes to the
// first waiter), then wakes them. Time-outs are measured on the simulation's
// clock: relative ones on interrupt time, absolute ones on system time.
//
// Waking: a satisfied waiter's thread is notified only after the waker has
// dropped the dispatcher lock. Notified while the lock is still held, the
// thread would wake only to block on the lock again, and every hand-off
// between threads would cost two switches instead of one. Each thread waits
// on a signal of its own, shared with the wakers that still have to notify
// it, so that a notification arriving after its wait has ended (or after
// the thread is gone) is harmless.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/clock.h"
#include "kernel/dispatcher.h"
#include "kernel/kthread.h"
#include "kernel/locks.h"
#include "kernel/thread_state.h"
#include "nt/ntstatus.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace sim::kernel {

struct WakeSignal {
  std::condition_variable cv;
};

struct Waiter {
  PKTHREAD thread = nullptr;
  ULONG count = 0;
  PVOID* objects = nullptr;
  PKWAIT_BLOCK blocks = nullptr;
  WAIT_TYPE type = WaitAny;
  bool alertable = false;
  bool linked = false;
  bool done = false;
  NTSTATUS result = STATUS_SUCCESS;
  std::uint64_t firstMutexAcquisitions = 0;  // bit i: object i is a mutex this wait acquired
  std::shared_ptr<WakeSignal> signal;        // the waiting thread's
  Waiter* previousTimed = nullptr;           // links among the timed waits
  Waiter* nextTimed = nullptr;
};

namespace {

using verifier::Check;

// The waits with a time-out, which a change of the clock must wake: an
// intrusive list, so that a timed wait costs no allocation.
class TimedWaiters {
 public:
  void Insert(Waiter* w) {
    w->previousTimed = nullptr;
    w->nextTimed = first_;
    if (first_ != nullptr) first_->previousTimed = w;
    first_ = w;
  }
  void Remove(Waiter* w) {
    if (w->previousTimed != nullptr) {
      w->previousTimed->nextTimed = w->nextTimed;
    } else {
      first_ = w->nextTimed;
    }
    if (w->nextTimed != nullptr) w->nextTimed->previousTimed = w->previousTimed;
  }
  template <class Visit>
  void ForEach(Visit visit) const {
    for (Waiter* w = first_; w != nullptr; w = w->nextTimed) visit(w);
  }

 private:
  Waiter* first_ = nullptr;
};

struct Dispatcher {
  std::mutex lock;
  TimedWaiters timedWaiters;
};

Dispatcher& Get() {
  static Dispatcher* dispatcher = new Dispatcher;
  return *dispatcher;
}

// A thread's own wake signal. A wait can come after the thread's
// thread-local variables are destroyed (from a static destructor at exit, or
// from another thread-local destructor); such a wait gets a signal of its own.
thread_local bool threadSignalGone = false;  // trivially destructible: lives as long as the thread

struct ThreadSignal {
  std::shared_ptr<WakeSignal> signal = std::make_shared<WakeSignal>();
  ~ThreadSignal() { threadSignalGone = true; }
};

std::shared_ptr<WakeSignal> ThisThreadSignal() {
  if (threadSignalGone) return std::make_shared<WakeSignal>();
  thread_local ThreadSignal own;
  return own.signal;
}

// Holds the dispatcher lock; the waits finished meanwhile are woken once it
// is released. The list of those waits belongs to the lock object, not to a
// thread-local variable: a thread that ends signals its thread object from
// a thread-local destructor, after such variables may already be gone.
class [[nodiscard]] DispatcherLock {
 public:
  DispatcherLock() : lock_(Get().lock), outer_(current_) { current_ = this; }
  DispatcherLock(const DispatcherLock&) = delete;
  DispatcherLock& operator=(const DispatcherLock&) = delete;
  ~DispatcherLock() {
    current_ = outer_;
    lock_.unlock();
    for (const auto& signal : pending_) signal->cv.notify_one();
  }

  // Wakes `signal` once the lock is released, or at once when the caller
  // holds the dispatcher lock some other way.
  static void Wake(std::shared_ptr<WakeSignal> signal) {
    if (current_ != nullptr) {
      current_->pending_.push_back(std::move(signal));
    } else {
      signal->cv.notify_one();
    }
  }

 private:
  static thread_local DispatcherLock* current_;
  std::unique_lock<std::mutex> lock_;
  DispatcherLock* outer_;
  std::vector<std::shared_ptr<WakeSignal>> pending_;
};

thread_local DispatcherLock* DispatcherLock::current_ = nullptr;

DISPATCHER_HEADER* HeaderOf(PVOID object) {
  return static_cast<DISPATCHER_HEADER*>(object);
}

constexpr UCHAR SizeInLongs(std::size_t bytes) {
  return static_cast<UCHAR>(bytes / sizeof(LONG));
}

// Recognises initialised events, mutexes and threads; anything else (zeroed
// memory, a deleted object, a wrong pointer) is misuse.
bool IsWaitable(const DISPATCHER_HEADER* h) {
  if (h == nullptr || h->WaitListHead.Flink == nullptr || h->WaitListHead.Blink == nullptr)
    return false;
  switch (h->Type) {
    case dispatcher_type::kNotificationEvent:
    case dispatcher_type::kSynchronizationEvent:
      return h->Size == SizeInLongs(sizeof(KEVENT));
    case dispatcher_type::kMutant:
      return h->Size == SizeInLongs(sizeof(KMUTANT));
    case dispatcher_type::kThread:
      return h->Size == SizeInLongs(sizeof(_KTHREAD));
    default:
      return false;
  }
}

bool Available(const DISPATCHER_HEADER* h, PKTHREAD thread) {
  if (h->Type == dispatcher_type::kMutant) {
    return h->SignalState > 0 || reinterpret_cast<const KMUTANT*>(h)->OwnerThread == thread;
  }
  return h->SignalState > 0;
}

// Applies the side effect of a satisfied wait; true when it made `thread`
// the new owner of a mutex.
bool Consume(DISPATCHER_HEADER* h, PKTHREAD thread) {
  switch (h->Type) {
    case dispatcher_type::kSynchronizationEvent:
      h->SignalState = 0;
      return false;
    case dispatcher_type::kMutant: {
      auto* mutant = reinterpret_cast<KMUTANT*>(h);
      const bool first = h->SignalState == 1;
      if (first) mutant->OwnerThread = thread;
      --h->SignalState;
      return first;
    }
    default:
      return false;  // notification events and threads stay signalled
  }
}

bool TrySatisfy(Waiter& w) {
  if (w.count == 0) return false;  // a delay: only its time-out ends it
  if (w.type == WaitAny) {
    for (ULONG i = 0; i < w.count; ++i) {
      DISPATCHER_HEADER* h = HeaderOf(w.objects[i]);
      if (!Available(h, w.thread)) continue;
      if (Consume(h, w.thread)) w.firstMutexAcquisitions |= 1ull << i;
      w.result = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
      return true;
    }
    return false;
  }
  for (ULONG i = 0; i < w.count; ++i) {
    if (!Available(HeaderOf(w.objects[i]), w.thread)) return false;
  }
  for (ULONG i = 0; i < w.count; ++i) {
    if (Consume(HeaderOf(w.objects[i]), w.thread)) w.firstMutexAcquisitions |= 1ull << i;
  }
  w.result = STATUS_SUCCESS;
  return true;
}

void Link(Waiter& w) {
  for (ULONG i = 0; i < w.count; ++i) {
    KWAIT_BLOCK& block = w.blocks[i];
    block.WaitType = static_cast<UCHAR>(w.type);
    block.BlockState = 1;
    block.WaitKey = static_cast<USHORT>(i);
    block.Thread = w.thread;
    block.Object = w.objects[i];
    block.SparePtr = &w;
    InsertTailList(&HeaderOf(w.objects[i])->WaitListHead, &block.WaitListEntry);
  }
  w.linked = true;
}

void Unlink(Waiter& w) {
  if (!w.linked) return;
  for (ULONG i = 0; i < w.count; ++i) {
    RemoveEntryList(&w.blocks[i].WaitListEntry);
    w.blocks[i].BlockState = 0;
  }
  w.linked = false;
}

void Finish(Waiter& w, NTSTATUS result) {
  Unlink(w);
  w.result = result;
  w.done = true;
  DispatcherLock::Wake(w.signal);
}

// Satisfies, in FIFO order, the waiters of an object that became signalled.
void WakeWaiters(DISPATCHER_HEADER* h) {
  bool progress = true;
  while (progress && h->SignalState > 0) {
    progress = false;
    for (LIST_ENTRY* e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink) {
      auto* block = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
      auto* w = static_cast<Waiter*>(block->SparePtr);
      if (w->done || !TrySatisfy(*w)) continue;
      Finish(*w, w->result);
      progress = true;
      break;  // the list changed; start over
    }
  }
}

struct Deadline {
  bool infinite = true;
  bool absolute = false;  // on system time, else on interrupt time
  std::int64_t value = 0;

  std::int64_t Now() const { return absolute ? clock::SystemTime() : clock::InterruptTime(); }
  bool Passed() const { return !infinite && Now() >= value; }
};

Deadline DeadlineFor(const LARGE_INTEGER* timeout) {
  Deadline d;
  if (timeout == nullptr) return d;
  d.infinite = false;
  if (timeout->QuadPart > 0) {
    d.absolute = true;
    d.value = timeout->QuadPart;
  } else {
    d.value = clock::InterruptTime() - timeout->QuadPart;
  }
  return d;
}

// Thread-side bookkeeping for mutexes a wait acquired: as on Windows, owning
// a mutex disables normal kernel APCs.
void NoteMutexAcquisitions(const Waiter& w) {
  if (w.firstMutexAcquisitions == 0) return;
  for (ULONG i = 0; i < w.count; ++i) {
    if (w.firstMutexAcquisitions & (1ull << i)) {
      ++CurrentThread().kernelApcDisable;
      locks::Acquired(w.objects[i], locks::Kind::Mutex);
    }
  }
}

// The heart of every wait. `isDelay` makes a satisfied time-out a success.
NTSTATUS Wait(ULONG count, PVOID* objects, WAIT_TYPE type, BOOLEAN alertable,
              const LARGE_INTEGER* timeout, PKWAIT_BLOCK blocks, bool isDelay) {
  ThreadState& ts = CurrentThread();
  const bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
  if (ts.irql >= DISPATCH_LEVEL && !zeroTimeout) {
    verifier::Report(Check::Irql, "wait with a non-zero time-out at IRQL " +
                                      std::to_string(ts.irql) + " (must be below DISPATCH_LEVEL)");
  }
  PKTHREAD self = CurrentKThread();
  Waiter w;
  w.thread = self;
  w.count = count;
  w.objects = objects;
  w.blocks = blocks;
  w.type = type;
  w.alertable = alertable;

  Dispatcher& d = Get();
  std::unique_lock lk(d.lock);
  for (ULONG i = 0; i < count; ++i) {
    if (!IsWaitable(HeaderOf(objects[i]))) {
      verifier::Report(Check::Other,
                       "wait on an object that is not an initialised event, mutex or thread");
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (alertable && faults::ShouldFail(faults::Site::AlertableWait)) return STATUS_ALERTED;
  if (TrySatisfy(w)) {
    lk.unlock();
    NoteMutexAcquisitions(w);
    return w.result;
  }
  if (alertable && self->alertPending) {
    self->alertPending = false;
    return STATUS_ALERTED;
  }
  const Deadline deadline = DeadlineFor(timeout);
  const NTSTATUS expired = isDelay ? STATUS_SUCCESS : STATUS_TIMEOUT;
  if (deadline.Passed()) {  // a zero time-out polls; a zero delay yields
    if (isDelay) {
      lk.unlock();
      std::this_thread::yield();
    }
    return expired;
  }

  w.signal = ThisThreadSignal();
  Link(w);
  self->wait = &w;
  if (!deadline.infinite) d.timedWaiters.Insert(&w);
  while (!w.done) {
    if (deadline.Passed()) {
      Finish(w, expired);
      break;
    }
    if (deadline.infinite || !clock::IsRealTime()) {
      w.signal->cv.wait(lk);
    } else {
      // Real time: sleep until the deadline, waking now and then in case the
      // clock mode changes.
      const std::int64_t remaining = deadline.value - deadline.Now();
      const auto slice = std::min<std::int64_t>(remaining, 1000000) * 100;  // at most 100 ms
      w.signal->cv.wait_for(lk, std::chrono::nanoseconds(slice));
    }
  }
  if (!deadline.infinite) d.timedWaiters.Remove(&w);
  self->wait = nullptr;
  lk.unlock();
  NoteMutexAcquisitions(w);
  return w.result;
}

// Bodies of threads that are not system threads. They are signalled when
// their OS thread ends but never freed: a KTHREAD address also serves as an
// owner token (ERESOURCE_THREAD, spin-lock values) that may outlive the
// thread, and must never be handed to another thread.
struct RetiredBodies {
  std::mutex lock;
  std::vector<std::unique_ptr<_KTHREAD>> bodies;
};

RetiredBodies& Retired() {
  static RetiredBodies* retired = new RetiredBodies;
  return *retired;
}

struct OwnedBody {
  _KTHREAD* body = nullptr;
  ~OwnedBody() {
    if (body) SignalThreadTerminated(body, STATUS_SUCCESS);
  }
};

}  // namespace

void InitializeThreadBody(PKTHREAD thread, std::uint64_t threadId, bool systemThread) {
  thread->Header.Type = dispatcher_type::kThread;
  thread->Header.Size = SizeInLongs(sizeof(_KTHREAD));
  thread->Header.SignalState = 0;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->threadId = threadId;
  thread->systemThread = systemThread;
  thread->alertPending = false;
  thread->wait = nullptr;
  thread->exitStatus = STATUS_PENDING;
}

PKTHREAD CurrentKThread() {
  ThreadState& ts = CurrentThread();
  if (ts.kthread == nullptr) {
    thread_local OwnedBody owned;
    auto body = std::make_unique<_KTHREAD>();
    InitializeThreadBody(body.get(), ts.threadId, false);
    owned.body = body.get();
    {
      std::lock_guard guard(Retired().lock);
      Retired().bodies.push_back(std::move(body));
    }
    ts.kthread = owned.body;
  }
  return ts.kthread;
}

void NotifyClockChanged() {
  Dispatcher& d = Get();
  std::lock_guard guard(d.lock);
  d.timedWaiters.ForEach([](Waiter* w) { w->signal->cv.notify_one(); });
}

bool AlertThread(PKTHREAD thread) {
  DispatcherLock guard;
  Waiter* w = thread->wait;
  if (w != nullptr && w->alertable && !w->done) {
    Finish(*w, STATUS_ALERTED);
    return true;
  }
  thread->alertPending = true;
  return false;
}

bool IsThreadWaiting(PKTHREAD thread) {
  Dispatcher& d = Get();
  std::lock_guard guard(d.lock);
  return thread->wait != nullptr && !thread->wait->done;
}

void SignalThreadTerminated(PKTHREAD thread, NTSTATUS exitStatus) {
  DispatcherLock guard;
  thread->exitStatus = exitStatus;
  thread->Header.SignalState = 1;
  WakeWaiters(&thread->Header);
}

bool IsThreadTerminated(PKTHREAD thread) {
  Dispatcher& d = Get();
  std::lock_guard guard(d.lock);
  return thread->Header.SignalState > 0;
}

}  // namespace sim::kernel

using sim::kernel::Get;
using sim::verifier::Check;

// ---------------------------------------------------------------------------
// Events

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Lock = 0;
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  sim::kernel::DispatcherLock guard;
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  sim::kernel::WakeWaiters(&Event->Header);
  return previous;
}

void KeClearEvent(PRKEVENT Event) {
  std::lock_guard guard(Get().lock);
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  std::lock_guard guard(Get().lock);
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard guard(Get().lock);
  return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------
// Mutexes

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  UNREFERENCED_PARAMETER(Level);  // ignored, as on current Windows
  Mutex->Header.Lock = 0;
  Mutex->Header.Type = sim::kernel::dispatcher_type::kMutant;
  Mutex->Header.Size = static_cast<UCHAR>(sizeof(KMUTANT) / sizeof(LONG));
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = NULL;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Wait);
  PKTHREAD self = sim::kernel::CurrentKThread();
  LONG previous;
  bool released = false;
  {
    sim::kernel::DispatcherLock guard;
    previous = Mutex->Header.SignalState;
    if (Mutex->Header.Type != sim::kernel::dispatcher_type::kMutant || Mutex->OwnerThread != self) {
      previous = MAXLONG;  // marks the violation, reported outside the lock
    } else {
      ++Mutex->Header.SignalState;
      if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = NULL;
        released = true;
        sim::kernel::WakeWaiters(&Mutex->Header);
      }
    }
  }
  if (previous == MAXLONG) {
    sim::verifier::Report(Check::Mutex, "KeReleaseMutex by a thread that does not own the mutex " +
                                            sim::kernel::locks::Describe(Mutex));
    return 0;
  }
  if (released) {
    auto& ts = sim::kernel::CurrentThread();
    if (ts.kernelApcDisable > 0) --ts.kernelApcDisable;
    sim::kernel::locks::Released(Mutex);
  }
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  std::lock_guard guard(Get().lock);
  return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------
// Waits

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  KWAIT_BLOCK block{};
  PVOID objects[1] = {Object};
  return sim::kernel::Wait(1, objects, WaitAny, Alertable, Timeout, &block, false);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (WaitType != WaitAny && WaitType != WaitAll)) {
    sim::verifier::Report(Check::Other, "KeWaitForMultipleObjects with Count " +
                                            std::to_string(Count) + " or an unsupported wait type");
    return STATUS_INVALID_PARAMETER;
  }
  KWAIT_BLOCK internal[THREAD_WAIT_OBJECTS] = {};
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL) {
    sim::verifier::Report(Check::Other,
                          "KeWaitForMultipleObjects with more than THREAD_WAIT_OBJECTS objects "
                          "and no WaitBlockArray");
    return STATUS_INVALID_PARAMETER;
  }
  PKWAIT_BLOCK blocks = WaitBlockArray != NULL ? WaitBlockArray : internal;
  return sim::kernel::Wait(Count, Object, WaitType, Alertable, Timeout, blocks, false);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  if (Interval == NULL) {
    sim::verifier::Report(Check::Other, "KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  return sim::kernel::Wait(0, nullptr, WaitAny, Alertable, Interval, nullptr, true);
}

PKTHREAD KeGetCurrentThread(void) {
  return sim::kernel::CurrentKThread();
}
