// Harness control of the simulated clock.
#include "harness/clock.h"

#include "kernel/clock.h"

namespace sim::harness {

std::int64_t BootSystemTime() {
  return kernel::clock::kBootSystemTime;
}
std::int64_t SystemTime() {
  return kernel::clock::SystemTime();
}
std::int64_t InterruptTime() {
  return kernel::clock::InterruptTime();
}
void AdvanceClock(KernelDuration by) {
  kernel::clock::Advance(by.count());
}
void SetSystemTime(std::int64_t systemTime) {
  kernel::clock::SetSystemTime(systemTime);
}
void SetRealTimeMode(bool on) {
  kernel::clock::SetRealTime(on);
}
bool IsRealTimeMode() {
  return kernel::clock::IsRealTime();
}

}  // namespace sim::harness
