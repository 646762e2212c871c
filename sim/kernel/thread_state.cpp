// Per-thread kernel state and thread ids.
#include "thread_state.h"

#include <atomic>

namespace sim::kernel {
namespace {
std::atomic<std::uint64_t> nextThreadId{1000};
}

std::uint64_t AllocateThreadId() {
  return nextThreadId.fetch_add(4);
}

ThreadState& CurrentThread() {
  thread_local ThreadState state = [] {
    ThreadState s;
    s.threadId = AllocateThreadId();
    return s;
  }();
  return state;
}

}  // namespace sim::kernel
