// Runs the calling thread, and every thread it starts afterwards, on one CPU
// (the first the process may use) as a batch thread: a thread readied by a
// wake-up waits until the running thread blocks instead of taking the CPU
// from it, which is how Windows dispatches threads of the same priority
// when the wake-up gives no boost. A hand-off between two threads then costs
// the same in every run. Left free, two threads on two CPUs cost one more or
// one less cross-CPU wake-up per hand-off by where the scheduler happened to
// place them, and the same binary measured two different figures.
#pragma once

#include <sched.h>

namespace tavo::bench {

inline void RunOnOneCpu() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof(one), &one);
    break;
  }
  sched_param batch{};
  sched_setscheduler(0, SCHED_BATCH, &batch);
}

}  // namespace tavo::bench
