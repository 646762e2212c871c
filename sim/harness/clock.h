// Harness control of the simulated clock. A fresh machine runs on a virtual
// clock that starts at 2025-03-03 09:00:00 UTC and stands still until a test
// moves it; waits with time-outs expire when it passes their deadline.
// Tools switch to real-time mode, where the clock follows the host's.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim::harness {

// 100-nanosecond units, the kernel's time unit.
using KernelDuration = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;

// System time of a freshly booted machine (KeQuerySystemTime).
std::int64_t BootSystemTime();

std::int64_t SystemTime();     // KeQuerySystemTime
std::int64_t InterruptTime();  // KeQueryInterruptTime

// Moves the virtual clock forward (system and interrupt time alike) and
// wakes every wait whose deadline has passed.
void AdvanceClock(KernelDuration by);

// Sets the virtual system time (interrupt time does not move: relative
// time-outs are unaffected, absolute ones are re-evaluated).
void SetSystemTime(std::int64_t systemTime);

// Real-time mode on or off (off freezes the clock at the current reading).
void SetRealTimeMode(bool on);
bool IsRealTimeMode();

}  // namespace sim::harness
