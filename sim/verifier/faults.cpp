// Deterministic fault-injection rules and per-site call counters.
#include "faults.h"

#include "bookkeeping.h"

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace sim::faults {
namespace {

struct Rule {
  std::uint64_t nth;  // 0: every matching call
  std::uint32_t tag;
};

struct SiteState {
  std::vector<Rule> rules;
  std::map<std::uint32_t, std::uint64_t> callsByTag;
  std::uint64_t calls = 0;
  std::uint64_t failed = 0;
};

struct State {
  std::mutex lock;
  std::array<SiteState, static_cast<std::size_t>(Site::Count_)> sites;
  // Set by the first rule: until then, a machine without the verifier's
  // bookkeeping (a benchmark) neither fails nor counts calls.
  std::atomic<bool> armed{false};
};

State& Get() {
  static State state;
  return state;
}

SiteState& For(State& state, Site site) {
  return state.sites[static_cast<std::size_t>(site)];
}

}  // namespace

void FailNth(Site site, std::uint64_t nth, std::uint32_t tag) {
  State& state = Get();
  std::lock_guard guard(state.lock);
  For(state, site).rules.push_back(Rule{nth, tag});
  state.armed.store(true, std::memory_order_relaxed);
}

void FailEvery(Site site, std::uint32_t tag) {
  FailNth(site, 0, tag);
}

void Clear() {
  State& state = Get();
  std::lock_guard guard(state.lock);
  for (SiteState& site : state.sites) site = SiteState{};
}

bool ShouldFail(Site site, std::uint32_t tag) {
  State& state = Get();
  if (!verifier::KeepsBookkeeping() && !state.armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard guard(state.lock);
  SiteState& s = For(state, site);
  ++s.calls;
  const std::uint64_t taggedCall = ++s.callsByTag[tag];
  for (const Rule& rule : s.rules) {
    const bool tagMatches = rule.tag == kAnyTag || rule.tag == tag;
    if (!tagMatches) continue;
    const std::uint64_t ordinal = rule.tag == kAnyTag ? s.calls : taggedCall;
    if (rule.nth == 0 || rule.nth == ordinal) {
      ++s.failed;
      return true;
    }
  }
  return false;
}

std::uint64_t CallCount(Site site, std::uint32_t tag) {
  State& state = Get();
  std::lock_guard guard(state.lock);
  SiteState& s = For(state, site);
  if (tag == kAnyTag) return s.calls;
  auto it = s.callsByTag.find(tag);
  return it == s.callsByTag.end() ? 0 : it->second;
}

std::uint64_t FailedCount(Site site) {
  State& state = Get();
  std::lock_guard guard(state.lock);
  return For(state, site).failed;
}

}  // namespace sim::faults
