#include "thread_state.h"

#include <atomic>

namespace sim::kernel {
namespace {
std::atomic<std::uint64_t> nextThreadId{1000};
}

ThreadState& CurrentThread() {
  thread_local ThreadState state = [] {
    ThreadState s;
    s.threadId = nextThreadId.fetch_add(4);
    return s;
  }();
  return state;
}

}  // namespace sim::kernel
