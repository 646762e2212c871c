// Executive resources (ERESOURCE) with the Windows rules:
// - an exclusive owner may re-acquire exclusive or shared (both count as
//   exclusive recursion);
// - a shared owner may re-acquire shared, even with exclusive waiters;
// - a new shared acquisition waits while an exclusive waiter exists;
// - a shared owner asking for exclusive deadlocks on Windows: here it is a
//   verifier violation and the call fails instead of hanging.
// Each resource's state lives in a table keyed by the ERESOURCE's address,
// which is how uninitialised, deleted and freed resources are recognised.
#include "kernel/resource.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kthread.h"
#include "kernel/lifecycle.h"
#include "kernel/locks.h"
#include "kernel/thread_state.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "verifier/verifier.h"

namespace sim::kernel {
namespace {

using verifier::Check;

// Shared holders: thread id (or owner pointer) -> hold count. A few at a
// time; a flat vector keeps its storage, so taking and releasing a shared
// hold allocates nothing.
class HoldCounts {
 public:
  using Entries = std::vector<std::pair<std::uint64_t, ULONG>>;
  Entries::iterator find(std::uint64_t owner) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [owner](const auto& entry) { return entry.first == owner; });
  }
  Entries::iterator end() { return entries_.end(); }
  Entries::iterator begin() { return entries_.begin(); }
  Entries::const_iterator begin() const { return entries_.begin(); }
  Entries::const_iterator end() const { return entries_.end(); }
  std::size_t count(std::uint64_t owner) { return find(owner) == end() ? 0 : 1; }
  ULONG& operator[](std::uint64_t owner) {
    auto it = find(owner);
    if (it != end()) return it->second;
    return entries_.emplace_back(owner, 0).second;
  }
  void erase(Entries::iterator it) { entries_.erase(it); }
  bool empty() const { return entries_.empty(); }
  void clear() { entries_.clear(); }

 private:
  Entries entries_;
};

struct ResourceState {
  std::uint64_t exclusiveOwner = 0;  // thread id, 0 when none
  ULONG exclusiveCount = 0;
  HoldCounts sharedOwners;
  ULONG exclusiveWaiters = 0;
  ULONG sharedWaiters = 0;
  bool deleted = false;
  std::condition_variable changed;

  bool Held() const { return exclusiveOwner != 0 || !sharedOwners.empty(); }
};

struct Table {
  std::mutex lock;
  std::map<const void*, std::shared_ptr<ResourceState>> live;
};

Table& Get() {
  static Table* table = new Table;
  return *table;
}

std::string Name(const void* resource) {
  return "ERESOURCE " + locks::Describe(resource);
}

// Valid while the table's lock is held; a waiter that lets it go keeps the
// state alive with KeepAlive (a delete meanwhile drops it from the table).
ResourceState* Find(Table& t, const void* resource) {
  auto it = t.live.find(resource);
  return it == t.live.end() ? nullptr : it->second.get();
}
std::shared_ptr<ResourceState> KeepAlive(Table& t, const void* resource) {
  return t.live.find(resource)->second;
}

// Checks common to every acquisition: IRQL and the critical region.
void CheckAcquireContext(PERESOURCE resource) {
  const ThreadState& ts = CurrentThread();
  if (ts.irql > APC_LEVEL) {
    verifier::Report(Check::Irql, Name(resource) + " acquired at IRQL " + std::to_string(ts.irql));
  } else if (ts.irql == PASSIVE_LEVEL && ts.kernelApcDisable == 0) {
    verifier::Report(Check::ResourceNoCriticalRegion,
                     Name(resource) +
                         " acquired with normal kernel APCs enabled "
                         "(outside KeEnterCriticalRegion)");
  }
}

BOOLEAN AcquireExclusive(PERESOURCE resource, BOOLEAN wait) {
  CheckAcquireContext(resource);
  const std::uint64_t self = CurrentThread().threadId;
  Table& t = Get();
  std::unique_lock lk(t.lock);
  auto state = Find(t, resource);
  if (!state) {
    lk.unlock();
    verifier::Report(Check::ResourceMisuse,
                     Name(resource) + " acquired but not initialised (or deleted)");
    return FALSE;
  }
  if (state->exclusiveOwner == self) {
    ++state->exclusiveCount;
    return TRUE;
  }
  if (state->sharedOwners.count(self)) {
    if (!wait) return FALSE;
    lk.unlock();
    verifier::Report(Check::ResourceMisuse,
                     Name(resource) +
                         ": exclusive acquisition by a thread that holds it shared "
                         "(deadlocks on Windows)");
    return FALSE;
  }
  if (state->Held()) {
    if (!wait) return FALSE;
    const auto kept = KeepAlive(t, resource);
    ++state->exclusiveWaiters;
    state->changed.wait(lk, [&] { return state->deleted || !state->Held(); });
    --state->exclusiveWaiters;
    if (state->deleted) return FALSE;
  }
  state->exclusiveOwner = self;
  state->exclusiveCount = 1;
  lk.unlock();
  locks::Acquired(resource, locks::Kind::Resource, wait != FALSE);
  return TRUE;
}

BOOLEAN AcquireShared(PERESOURCE resource, BOOLEAN wait) {
  CheckAcquireContext(resource);
  const std::uint64_t self = CurrentThread().threadId;
  Table& t = Get();
  std::unique_lock lk(t.lock);
  auto state = Find(t, resource);
  if (!state) {
    lk.unlock();
    verifier::Report(Check::ResourceMisuse,
                     Name(resource) + " acquired but not initialised (or deleted)");
    return FALSE;
  }
  if (state->exclusiveOwner == self) {
    ++state->exclusiveCount;
    return TRUE;
  }
  auto mine = state->sharedOwners.find(self);
  if (mine != state->sharedOwners.end()) {
    ++mine->second;
    return TRUE;
  }
  auto grantable = [&] { return state->exclusiveOwner == 0 && state->exclusiveWaiters == 0; };
  if (!grantable()) {
    if (!wait) return FALSE;
    const auto kept = KeepAlive(t, resource);
    ++state->sharedWaiters;
    state->changed.wait(lk, [&] { return state->deleted || grantable(); });
    --state->sharedWaiters;
    if (state->deleted) return FALSE;
  }
  const bool first = state->sharedOwners[self]++ == 0;
  lk.unlock();
  if (first) locks::Acquired(resource, locks::Kind::Resource, wait != FALSE);
  return TRUE;
}

// Releases one hold of `owner` on the resource; false when it holds none.
bool ReleaseFor(PERESOURCE resource, std::uint64_t owner) {
  Table& t = Get();
  std::unique_lock lk(t.lock);
  auto state = Find(t, resource);
  if (!state) {
    lk.unlock();
    verifier::Report(Check::ResourceMisuse,
                     Name(resource) + " released but not initialised (or deleted)");
    return true;
  }
  bool lastHold = false;
  if (state->exclusiveOwner == owner) {
    if (--state->exclusiveCount == 0) {
      state->exclusiveOwner = 0;
      lastHold = true;
    }
  } else {
    auto mine = state->sharedOwners.find(owner);
    if (mine == state->sharedOwners.end()) return false;
    if (--mine->second == 0) {
      state->sharedOwners.erase(mine);
      lastHold = true;
    }
  }
  // Waiters count themselves under the lock before they wait.
  if (lastHold && (state->exclusiveWaiters != 0 || state->sharedWaiters != 0)) {
    state->changed.notify_all();
  }
  lk.unlock();
  if (lastHold) locks::ReleasedFor(owner, resource);
  return true;
}

// Removes a resource from the table; whoever still held it holds it no more.
void Forget(Table& t, std::map<const void*, std::shared_ptr<ResourceState>>::iterator it) {
  ResourceState& state = *it->second;
  if (state.exclusiveOwner != 0) locks::ReleasedFor(state.exclusiveOwner, it->first);
  for (const auto& [owner, count] : state.sharedOwners) locks::ReleasedFor(owner, it->first);
  it->second->deleted = true;
  it->second->changed.notify_all();
  t.live.erase(it);
}

}  // namespace

void ForgetResourcesIn(const void* address, std::size_t size) {
  Table& t = Get();
  std::vector<const void*> freed;
  {
    std::lock_guard guard(t.lock);
    const char* begin = static_cast<const char*>(address);
    auto it = t.live.lower_bound(begin);
    while (it != t.live.end() && static_cast<const char*>(it->first) < begin + size) {
      freed.push_back(it->first);
      Forget(t, it++);
    }
  }
  for (const void* resource : freed) {
    verifier::Report(
        Check::ResourceMisuse,
        Name(resource) + " freed while initialised (ExDeleteResourceLite was not called)");
  }
}

namespace {
ResetHookRegistration resetResources(ResetOrder::Kernel, [] {
  Table& t = Get();
  std::lock_guard guard(t.lock);
  while (!t.live.empty()) Forget(t, t.live.begin());
});
}  // namespace

}  // namespace sim::kernel

using namespace sim::kernel;
using sim::verifier::Check;

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) {
  __builtin_memset(Resource, 0, sizeof(ERESOURCE));
  Resource->Address = Resource;
  Table& t = Get();
  bool wasLive = false;
  {
    std::lock_guard guard(t.lock);
    auto it = t.live.find(Resource);
    if (it != t.live.end()) {
      wasLive = true;
      Forget(t, it);
    }
    t.live[Resource] = std::make_shared<ResourceState>();
  }
  if (wasLive) {
    sim::verifier::Report(Check::ResourceMisuse,
                          Name(Resource) + " initialised again without ExDeleteResourceLite");
  }
  return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) {
  Table& t = Get();
  std::string violation;
  Check check = Check::ResourceMisuse;
  {
    std::lock_guard guard(t.lock);
    auto it = t.live.find(Resource);
    if (it == t.live.end()) {
      violation = Name(Resource) + " deleted but not initialised (or already deleted)";
    } else {
      if (it->second->Held()) {
        check = Check::ResourceDeleteHeld;
        violation = Name(Resource) + " deleted while acquired";
      }
      Forget(t, it);
    }
  }
  if (!violation.empty()) sim::verifier::Report(check, violation);
  return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
  return AcquireExclusive(Resource, Wait);
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
  return AcquireShared(Resource, Wait);
}

void ExReleaseResourceLite(PERESOURCE Resource) {
  if (CurrentThread().irql > DISPATCH_LEVEL) {
    sim::verifier::Report(Check::Irql, Name(Resource) + " released above DISPATCH_LEVEL");
  }
  if (!ReleaseFor(Resource, CurrentThread().threadId)) {
    sim::verifier::Report(Check::ResourceNotOwner,
                          Name(Resource) + " released by a thread that does not own it");
  }
}

// An owner pointer (ExSetResourceOwnerPointer) has its two low bits set,
// which tells it apart from a thread address; simulated thread ids are
// multiples of 4, so the pointer value itself serves as the owner key.
namespace {
bool IsOwnerPointer(ULONG_PTR value) {
  return (value & 3) == 3;
}
}  // namespace

// Hands the caller's hold (exclusive or shared, with its recursion count) to
// an owner pointer; from then on only ExReleaseResourceForThreadLite with that
// pointer releases it, from any thread.
void ExSetResourceOwnerPointer(PERESOURCE Resource, PVOID OwnerPointer) {
  const auto key = reinterpret_cast<ULONG_PTR>(OwnerPointer);
  if (!IsOwnerPointer(key)) {
    sim::verifier::Report(Check::ResourceMisuse,
                          Name(Resource) + " given an owner pointer without its two low bits set");
    return;
  }
  const std::uint64_t self = CurrentThread().threadId;
  Table& t = Get();
  std::unique_lock lk(t.lock);
  auto state = Find(t, Resource);
  ULONG holds = 0;
  if (state && state->exclusiveOwner == self) {
    state->exclusiveOwner = key;
    holds = state->exclusiveCount;
  } else if (state) {
    auto mine = state->sharedOwners.find(self);
    if (mine != state->sharedOwners.end()) {
      holds = mine->second;
      state->sharedOwners.erase(mine);
      state->sharedOwners[key] += holds;
    }
  }
  lk.unlock();
  if (holds == 0) {
    sim::verifier::Report(Check::ResourceNotOwner,
                          Name(Resource) + " owner pointer set by a thread that does not own it");
    return;
  }
  // The thread no longer holds the resource as far as lock tracking goes.
  for (ULONG i = 0; i < holds; ++i) locks::ReleasedFor(self, Resource);
}

void ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId) {
  if (IsOwnerPointer(ResourceThreadId)) {
    if (!ReleaseFor(Resource, ResourceThreadId)) {
      sim::verifier::Report(Check::ResourceNotOwner,
                            Name(Resource) + " released for an owner pointer that does not own it");
    }
    return;
  }
  auto* thread = reinterpret_cast<PKTHREAD>(ResourceThreadId);
  if (thread == nullptr || !ReleaseFor(Resource, thread->threadId)) {
    sim::verifier::Report(Check::ResourceNotOwner,
                          Name(Resource) + " released for a thread that does not own it");
  }
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
  Table& t = Get();
  std::lock_guard guard(t.lock);
  auto state = Find(t, Resource);
  return state && state->exclusiveOwner == CurrentThread().threadId ? TRUE : FALSE;
}

// The caller's hold count, shared or exclusive (0 when it holds none).
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
  Table& t = Get();
  std::lock_guard guard(t.lock);
  auto state = Find(t, Resource);
  if (!state) return 0;
  const std::uint64_t self = CurrentThread().threadId;
  if (state->exclusiveOwner == self) return state->exclusiveCount;
  auto mine = state->sharedOwners.find(self);
  return mine == state->sharedOwners.end() ? 0 : mine->second;
}

ERESOURCE_THREAD ExGetCurrentResourceThread(void) {
  return reinterpret_cast<ERESOURCE_THREAD>(CurrentKThread());
}
