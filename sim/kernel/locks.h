// Per-thread tracking of the locks each thread holds (executive resources,
// mutexes, fast mutexes, spin locks) and the lock order a test declares for
// the driver's locks: taking a lock that is declared to come before one the
// thread already holds is a lock-order violation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::kernel::locks {

enum class Kind { Resource, Mutex, FastMutex, SpinLock };

// The calling thread took `lock`. Order is checked when `checkOrder` (not
// for non-blocking attempts, which cannot deadlock).
void Acquired(const void* lock, Kind kind, bool checkOrder = true);

// The calling thread (or the thread `threadId`) gave one hold of `lock` up.
void Released(const void* lock);
void ReleasedFor(std::uint64_t threadId, const void* lock);

// Each lock in `order` may be held while a later one is taken, never the reverse.
void DeclareOrder(const std::vector<const void*>& order);

// A name for messages ("OpenHandleTableLock" rather than an address).
void NameLock(const void* lock, std::string name);
std::string Describe(const void* lock);

// Locks held by a thread, one entry per hold.
std::size_t HeldCount(std::uint64_t threadId);
std::vector<std::string> DescribeHeld(std::uint64_t threadId);

// Forgets every declaration, name and hold.
void Reset();

}  // namespace sim::kernel::locks
