// The verifier's bookkeeping switch (see bookkeeping.h).
#include "verifier/bookkeeping.h"

namespace sim::verifier::internal {

std::atomic<bool> bookkeepingOff{false};

}  // namespace sim::verifier::internal
