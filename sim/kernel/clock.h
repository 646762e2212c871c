// The simulation's clocks: system time (100 ns units since 1601-01-01 UTC)
// and interrupt time (100 ns units since boot). In virtual mode both stand
// still until the harness moves them; in real-time mode they follow the
// host's clocks. Waits with time-outs are measured against these clocks.
#pragma once

#include <cstdint>

namespace sim::kernel::clock {

// 2025-03-03 09:00:00 UTC: the system time of a freshly booted machine.
inline constexpr std::int64_t kBootSystemTime = 133854660000000000;
// Interrupt time at that moment: the machine has been up for a minute.
inline constexpr std::int64_t kBootInterruptTime = 600000000;

std::int64_t SystemTime();
std::int64_t InterruptTime();

// Virtual mode only (ignored in real-time mode). Advancing moves both
// clocks; setting the system time moves only the system time, as a time
// change on Windows does (relative time-outs run on interrupt time).
void Advance(std::int64_t units);
void SetSystemTime(std::int64_t systemTime);

// Real-time mode: the clocks follow the host, time-outs are real. Leaving
// it freezes the virtual clocks at the current readings.
void SetRealTime(bool on);
bool IsRealTime();

// Back to virtual mode at the boot time.
void Reset();

}  // namespace sim::kernel::clock
