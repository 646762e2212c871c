// Lock order for the verifier: a test declares the order the driver's locks
// must be taken in, and the simulation reports a LockOrder violation when a
// thread takes a lock declared to come before one it already holds.
// Executive resources, mutexes, fast mutexes and spin locks are tracked.
#pragma once

#include <initializer_list>
#include <string>

namespace sim::harness {

// Each lock may be held while a later one is taken, never the reverse.
// Declarations add up; a machine reset forgets them.
void DeclareLockOrder(std::initializer_list<const void*> order);

// A name used for the lock in verifier messages.
void NameLock(const void* lock, std::string name);

}  // namespace sim::harness

namespace sim::verifier {
using sim::harness::DeclareLockOrder;
}
