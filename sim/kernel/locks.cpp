// Held-lock tracking and lock-order checks.
#include "kernel/locks.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "verifier/bookkeeping.h"
#include "verifier/verifier.h"

namespace sim::kernel::locks {
namespace {

struct Hold {
  const void* lock;
  Kind kind;
};

struct State {
  std::mutex lock;
  std::map<std::uint64_t, std::vector<Hold>> held;       // by thread id
  std::set<std::pair<const void*, const void*>> before;  // (a, b): a comes before b
  std::map<const void*, std::string> names;
};

State& Get() {
  static State* state = new State;
  return *state;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Resource:
      return "ERESOURCE";
    case Kind::Mutex:
      return "KMUTEX";
    case Kind::FastMutex:
      return "FAST_MUTEX";
    case Kind::SpinLock:
      return "spin lock";
  }
  return "lock";
}

std::string DescribeLocked(State& s, const void* lock) {
  auto it = s.names.find(lock);
  if (it != s.names.end()) return it->second;
  char text[32];
  std::snprintf(text, sizeof text, "%p", lock);
  return text;
}

void ReleaseHold(State& s, std::uint64_t threadId, const void* lock) {
  auto it = s.held.find(threadId);
  if (it == s.held.end()) return;
  auto& holds = it->second;
  for (auto hold = holds.rbegin(); hold != holds.rend(); ++hold) {
    if (hold->lock == lock) {
      holds.erase(std::next(hold).base());
      break;
    }
  }
  if (holds.empty()) s.held.erase(it);
}

}  // namespace

void Acquired(const void* lock, Kind kind, bool checkOrder) {
  if (!verifier::KeepsBookkeeping()) return;
  State& s = Get();
  std::string violation;
  {
    std::lock_guard guard(s.lock);
    auto& holds = s.held[CurrentThread().threadId];
    if (checkOrder && !s.before.empty()) {
      for (const Hold& hold : holds) {
        if (hold.lock != lock && s.before.count({lock, hold.lock})) {
          violation = std::string(KindName(kind)) + " " + DescribeLocked(s, lock) +
                      " acquired while holding " + KindName(hold.kind) + " " +
                      DescribeLocked(s, hold.lock) + "; the declared order takes " +
                      DescribeLocked(s, lock) + " first";
          break;
        }
      }
    }
    holds.push_back(Hold{lock, kind});
  }
  if (!violation.empty()) verifier::Report(verifier::Check::LockOrder, violation);
}

void Released(const void* lock) {
  ReleasedFor(CurrentThread().threadId, lock);
}

void ReleasedFor(std::uint64_t threadId, const void* lock) {
  if (!verifier::KeepsBookkeeping()) return;
  State& s = Get();
  std::lock_guard guard(s.lock);
  ReleaseHold(s, threadId, lock);
}

void DeclareOrder(const std::vector<const void*>& order) {
  State& s = Get();
  std::lock_guard guard(s.lock);
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (std::size_t j = i + 1; j < order.size(); ++j) s.before.insert({order[i], order[j]});
  }
}

void NameLock(const void* lock, std::string name) {
  State& s = Get();
  std::lock_guard guard(s.lock);
  s.names[lock] = std::move(name);
}

std::string Describe(const void* lock) {
  State& s = Get();
  std::lock_guard guard(s.lock);
  return DescribeLocked(s, lock);
}

std::size_t HeldCount(std::uint64_t threadId) {
  if (!verifier::KeepsBookkeeping()) return 0;
  State& s = Get();
  std::lock_guard guard(s.lock);
  auto it = s.held.find(threadId);
  return it == s.held.end() ? 0 : it->second.size();
}

std::vector<std::string> DescribeHeld(std::uint64_t threadId) {
  State& s = Get();
  std::lock_guard guard(s.lock);
  std::vector<std::string> out;
  auto it = s.held.find(threadId);
  if (it == s.held.end()) return out;
  for (const Hold& hold : it->second) {
    out.push_back(std::string(KindName(hold.kind)) + " " + DescribeLocked(s, hold.lock));
  }
  return out;
}

void Reset() {
  State& s = Get();
  std::lock_guard guard(s.lock);
  s.held.clear();
  s.before.clear();
  s.names.clear();
}

namespace {
ResetHookRegistration resetLocks(ResetOrder::Kernel, [] { Reset(); });
}

}  // namespace sim::kernel::locks
