// The simulation's KTHREAD (also the ETHREAD: on Windows the ETHREAD starts
// with its KTHREAD, so both pointers are the same address). Drivers see an
// opaque pointer; the body starts with a dispatcher header so that a thread
// can be waited on, signalled when it terminates.
#pragma once

#include <cstdint>

#include "kernel/thread_state.h"
#include "nt/ke.h"

namespace sim::kernel {
struct Waiter;
}

// Dispatcher object types kept in DISPATCHER_HEADER.Type (the kernel's own
// numbering of its object kinds).
namespace sim::kernel::dispatcher_type {
inline constexpr UCHAR kNotificationEvent = 0;
inline constexpr UCHAR kSynchronizationEvent = 1;
inline constexpr UCHAR kMutant = 2;
inline constexpr UCHAR kThread = 6;
}  // namespace sim::kernel::dispatcher_type

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled once the thread has terminated
  std::uint64_t threadId = 0;
  bool systemThread = false;
  // Guarded by the dispatcher lock.
  bool alertPending = false;
  sim::kernel::Waiter* wait = nullptr;
  NTSTATUS exitStatus = 0;
};

namespace sim::kernel {

// Fills a thread body for a new thread: not signalled, no waiters.
void InitializeThreadBody(PKTHREAD thread, std::uint64_t threadId, bool systemThread);

// The calling thread's KTHREAD; created on first use for threads that are
// not system threads (test threads, client threads).
PKTHREAD CurrentKThread();

}  // namespace sim::kernel
