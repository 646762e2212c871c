// Lock-order declarations from the harness.
#include "harness/lock_order.h"

#include <vector>

#include "kernel/locks.h"

namespace sim::harness {

void DeclareLockOrder(std::initializer_list<const void*> order) {
  kernel::locks::DeclareOrder(std::vector<const void*>(order));
}

void NameLock(const void* lock, std::string name) {
  kernel::locks::NameLock(lock, std::move(name));
}

}  // namespace sim::harness
