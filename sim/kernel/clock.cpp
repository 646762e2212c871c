// Virtual and real-time clocks.
#include "kernel/clock.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "kernel/dispatcher.h"
#include "kernel/lifecycle.h"

namespace sim::kernel::clock {
namespace {

// Seconds between 1601-01-01 and 1970-01-01, in 100 ns units.
constexpr std::int64_t kUnixEpochAsSystemTime = 116444736000000000;

struct State {
  std::mutex lock;  // serialises mode changes and writers
  std::atomic<bool> realTime{false};
  std::atomic<std::int64_t> interrupt{kBootInterruptTime};
  std::atomic<std::int64_t> bias{kBootSystemTime - kBootInterruptTime};  // system - interrupt
  // Real-time mode: interrupt time = realInterruptBase + steady elapsed.
  std::chrono::steady_clock::time_point realStart;
  std::int64_t realInterruptBase = 0;
};

State& Get() {
  static State* state = new State;
  return *state;
}

std::int64_t HostSystemTime() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsSystemTime +
         std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

std::int64_t RealInterruptTime(State& s) {
  auto elapsed = std::chrono::steady_clock::now() - s.realStart;
  return s.realInterruptBase +
         std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

}  // namespace

std::int64_t SystemTime() {
  State& s = Get();
  if (s.realTime.load()) return HostSystemTime();
  return s.interrupt.load() + s.bias.load();
}

std::int64_t InterruptTime() {
  State& s = Get();
  if (s.realTime.load()) {
    std::lock_guard guard(s.lock);
    return RealInterruptTime(s);
  }
  return s.interrupt.load();
}

void Advance(std::int64_t units) {
  State& s = Get();
  {
    std::lock_guard guard(s.lock);
    if (s.realTime.load() || units <= 0) return;
    s.interrupt.fetch_add(units);
  }
  NotifyClockChanged();
}

void SetSystemTime(std::int64_t systemTime) {
  State& s = Get();
  {
    std::lock_guard guard(s.lock);
    if (s.realTime.load()) return;
    s.bias.store(systemTime - s.interrupt.load());
  }
  NotifyClockChanged();
}

void SetRealTime(bool on) {
  State& s = Get();
  {
    std::lock_guard guard(s.lock);
    if (on == s.realTime.load()) return;
    if (on) {
      s.realStart = std::chrono::steady_clock::now();
      s.realInterruptBase = s.interrupt.load();
    } else {
      const std::int64_t interrupt = RealInterruptTime(s);
      s.interrupt.store(interrupt);
      s.bias.store(HostSystemTime() - interrupt);
    }
    s.realTime.store(on);
  }
  NotifyClockChanged();
}

bool IsRealTime() {
  return Get().realTime.load();
}

void Reset() {
  State& s = Get();
  {
    std::lock_guard guard(s.lock);
    s.realTime.store(false);
    s.interrupt.store(kBootInterruptTime);
    s.bias.store(kBootSystemTime - kBootInterruptTime);
  }
  NotifyClockChanged();
}

namespace {
ResetHookRegistration resetClock(ResetOrder::Kernel, [] { Reset(); });
}

}  // namespace sim::kernel::clock

// Time routines of the kernel API. The tick is 15.625 ms, the usual default.
namespace {
constexpr ULONG kTimeIncrement = 156250;
}

#include "nt/ke.h"

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = sim::kernel::clock::SystemTime();
}

void KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = sim::kernel::clock::SystemTime();
}

void KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  CurrentCount->QuadPart = sim::kernel::clock::InterruptTime() / kTimeIncrement;
}

ULONGLONG KeQueryInterruptTime(void) {
  return static_cast<ULONGLONG>(sim::kernel::clock::InterruptTime());
}

ULONGLONG KeQueryInterruptTimePrecise(PULONG64 QpcTimeStamp) {
  const ULONGLONG now = static_cast<ULONGLONG>(sim::kernel::clock::InterruptTime());
  // The simulated performance counter runs at 10 MHz, one count per 100 ns.
  if (QpcTimeStamp) *QpcTimeStamp = now;
  return now;
}

ULONG KeQueryTimeIncrement(void) {
  return kTimeIncrement;
}
