// Internal interface of the executive-resource table for the pool: memory
// freed while it still holds an initialised, undeleted ERESOURCE.
#pragma once

#include <cstddef>

namespace sim::kernel {

// Reports (ResourceMisuse) and forgets every live resource inside
// [address, address + size).
void ForgetResourcesIn(const void* address, std::size_t size);

}  // namespace sim::kernel
