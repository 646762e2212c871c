// Registry of reset hooks and end-of-test checks.
#include "lifecycle.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "verifier/faults.h"

namespace sim::kernel {
namespace {

struct Hooks {
  std::mutex lock;
  std::vector<std::pair<ResetOrder, std::function<void()>>> resets;
  std::vector<std::function<void()>> checks;
};

Hooks& Get() {
  static Hooks hooks;
  return hooks;
}

}  // namespace

void RegisterResetHook(ResetOrder order, std::function<void()> hook) {
  Hooks& hooks = Get();
  std::lock_guard guard(hooks.lock);
  hooks.resets.emplace_back(order, std::move(hook));
  std::stable_sort(hooks.resets.begin(), hooks.resets.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

void RegisterEndOfTestCheck(std::function<void()> check) {
  Hooks& hooks = Get();
  std::lock_guard guard(hooks.lock);
  hooks.checks.push_back(std::move(check));
}

void ResetMachine() {
  std::vector<std::function<void()>> resets;
  {
    Hooks& hooks = Get();
    std::lock_guard guard(hooks.lock);
    for (auto& entry : hooks.resets) resets.push_back(entry.second);
  }
  for (auto& reset : resets) reset();
  sim::faults::Clear();
}

void RunEndOfTestChecks() {
  std::vector<std::function<void()>> checks;
  {
    Hooks& hooks = Get();
    std::lock_guard guard(hooks.lock);
    checks = hooks.checks;
  }
  for (auto& check : checks) check();
}

}  // namespace sim::kernel
