// Helpers for kernel tests: run code on another OS thread and know when it
// is blocked, so cross-thread tests stay deterministic.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "harness/threads.h"
#include "nt/ke.h"

namespace kernel_test {

// A test thread that runs `body` and publishes its KTHREAD first.
class TestThread {
 public:
  explicit TestThread(std::function<void()> body)
      : thread_([this, body = std::move(body)] {
          self_.store(KeGetCurrentThread());
          body();
        }) {
    while (self_.load() == nullptr) std::this_thread::yield();
  }
  ~TestThread() {
    if (thread_.joinable()) thread_.join();
  }

  PKTHREAD Self() const { return self_.load(); }
  void Join() { thread_.join(); }

  // True once the thread is blocked in a dispatcher wait.
  bool BlocksInWait() { return sim::harness::WaitUntilThreadWaits(Self()); }

 private:
  std::atomic<PKTHREAD> self_{nullptr};
  std::thread thread_;
};

// Polls `condition` for up to five seconds.
inline bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Stays true for a short while: the thing did not happen (yet).
inline bool StaysFalseFor(const std::function<bool()>& condition, std::chrono::milliseconds span) {
  const auto deadline = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

inline LARGE_INTEGER Relative(LONGLONG units) {
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return t;
}

inline LARGE_INTEGER Absolute(LONGLONG systemTime) {
  LARGE_INTEGER t;
  t.QuadPart = systemTime;
  return t;
}

constexpr LONGLONG kSecond = 10000000;

}  // namespace kernel_test
