// Harness control of threads.
#include "harness/threads.h"

#include <thread>

#include "fltmgr/filter_manager.h"
#include "kernel/dispatcher.h"
#include "kernel/irql.h"
#include "kernel/system_thread.h"

namespace sim::harness {

bool WaitForSystemThreads(std::chrono::milliseconds limit) {
  return kernel::system_threads::WaitForAll(limit);
}

std::size_t RunningSystemThreadCount() {
  return kernel::system_threads::RunningCount();
}

PKTHREAD ReferenceThreadByHandle(HANDLE handle) {
  return kernel::system_threads::ReferenceByHandle(handle);
}

bool AlertThread(PKTHREAD thread) {
  return kernel::AlertThread(thread);
}

void HoldWorkItems(bool hold) { fltmgr::HoldWorkItems(hold); }

bool WaitForHeldWorkItems(std::size_t count, std::chrono::milliseconds limit) {
  return fltmgr::WaitForHeldWorkItems(count, limit);
}

bool IsThreadWaiting(PKTHREAD thread) {
  return kernel::IsThreadWaiting(thread);
}

bool WaitUntilThreadWaits(PKTHREAD thread, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!kernel::IsThreadWaiting(thread)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

bool WaitUntilSystemThreadsWait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!kernel::system_threads::AllRunningAreWaiting()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void SetCurrentIrql(KIRQL irql) {
  kernel::SetIrqlUnchecked(irql);
}

}  // namespace sim::harness
