// Machine-wide reset and end-of-test checks. Each simulated component
// registers how to return to a freshly booted state and which checks to make
// when a test ends (pool leaks, locks still held, ...); the harness runs them.
#pragma once

#include <functional>

namespace sim::kernel {

// Lower order runs first on reset (components reset before what they stand on).
enum class ResetOrder : int {
  Io = 10,
  FilterManager = 20,
  FileSystem = 30,
  Kernel = 100,
  Verifier = 1000,
};

void RegisterResetHook(ResetOrder order, std::function<void()> hook);
void RegisterEndOfTestCheck(std::function<void()> check);

// Brings every component back to its freshly booted state.
void ResetMachine();

// Runs every end-of-test check; each reports its findings to the verifier.
void RunEndOfTestChecks();

// Registers a hook from a namespace-scope object in a simulation source file.
struct ResetHookRegistration {
  ResetHookRegistration(ResetOrder order, std::function<void()> hook) {
    RegisterResetHook(order, std::move(hook));
  }
};
struct EndOfTestCheckRegistration {
  explicit EndOfTestCheckRegistration(std::function<void()> check) {
    RegisterEndOfTestCheck(std::move(check));
  }
};

}  // namespace sim::kernel
