// The kernel's end-of-test checks, in the order that makes them meaningful:
// system threads are given time to finish first (a driver's worker thread
// may still be on its way out), then the test's thread must be back at
// PASSIVE_LEVEL outside any critical region and holding no lock, and only
// then is every pool block still live a leak.
#include <chrono>
#include <optional>
#include <string>

#include "kernel/irql.h"
#include "kernel/lifecycle.h"
#include "kernel/pool.h"
#include "kernel/system_thread.h"
#include "kernel/thread_state.h"
#include "verifier/verifier.h"

namespace sim::kernel {
namespace {

void CheckSystemThreadsFinished() {
  if (system_threads::WaitForAll(std::chrono::seconds(5))) return;
  verifier::Report(verifier::Check::Thread,
                   std::to_string(system_threads::RunningCount()) +
                       " system thread(s) still running at the end of the test");
}

void CheckTestThreadState() {
  VerifyKernelStateRestored(KernelStateSnapshot{PASSIVE_LEVEL, 0, 0}, "the test");
  ThreadState& ts = CurrentThread();
  ts.irql = PASSIVE_LEVEL;
  ts.kernelApcDisable = 0;
}

EndOfTestCheckRegistration kernelChecks([] {
  CheckSystemThreadsFinished();
  CheckTestThreadState();
  pool::ReportLeaks(std::nullopt, "pool leak at the end of the test");
});

}  // namespace
}  // namespace sim::kernel
