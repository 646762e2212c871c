// Whether the verifier keeps its bookkeeping: the record of every live pool
// block (tag, size, call site) behind the leak, double-free and wrong-tag
// checks, and the per-thread record of held locks behind the lock-order
// checks. Windows keeps such records only under Driver Verifier; a machine
// without it runs without them.
//
// Always on in tests. Only benchmark programs turn it off, through
// bench/support (which no test links), before the machine allocates
// anything; the state is not meant to change while blocks are live.
#pragma once

#include <atomic>

namespace sim::verifier {

namespace internal {
// Set by bench/support only; read through KeepsBookkeeping().
extern std::atomic<bool> bookkeepingOff;
}  // namespace internal

inline bool KeepsBookkeeping() {
  return !internal::bookkeepingOff.load(std::memory_order_relaxed);
}

}  // namespace sim::verifier
