// Violation log of the simulation's verifier.
#include "verifier.h"

#include <cstdio>
#include <mutex>

namespace sim::verifier {
namespace {

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

std::vector<Violation>& Log() {
  static std::vector<Violation> log;
  return log;
}

}  // namespace

std::string_view CheckName(Check check) {
  switch (check) {
    case Check::PoolLeak:
      return "pool leak";
    case Check::PoolDoubleFree:
      return "pool double free";
    case Check::PoolWrongTag:
      return "pool free with wrong tag";
    case Check::PoolBadType:
      return "pool type";
    case Check::ResourceNoCriticalRegion:
      return "ERESOURCE outside critical region";
    case Check::ResourceNotOwner:
      return "ERESOURCE released by non-owner";
    case Check::ResourceDeleteHeld:
      return "ERESOURCE deleted while held";
    case Check::ResourceMisuse:
      return "ERESOURCE misuse";
    case Check::CriticalRegionUnbalanced:
      return "critical region unbalanced";
    case Check::Irql:
      return "IRQL";
    case Check::SpinLock:
      return "spin lock";
    case Check::Mutex:
      return "mutex";
    case Check::LockOrder:
      return "lock order";
    case Check::Thread:
      return "thread";
    case Check::Registry:
      return "registry";
    case Check::Process:
      return "process";
    case Check::String:
      return "string";
    case Check::FilterManager:
      return "Filter Manager";
    case Check::Io:
      return "I/O manager";
    case Check::FileSystem:
      return "file system";
    case Check::Port:
      return "communication port";
    case Check::Other:
      return "other";
  }
  return "unknown";
}

void Report(Check check, std::string message) {
  std::fprintf(stderr, "VERIFIER [%.*s]: %s\n", static_cast<int>(CheckName(check).size()),
               CheckName(check).data(), message.c_str());
  std::lock_guard guard(LogLock());
  Log().push_back(Violation{check, std::move(message)});
}

std::vector<Violation> TakeViolations() {
  std::lock_guard guard(LogLock());
  std::vector<Violation> taken;
  taken.swap(Log());
  return taken;
}

std::vector<Violation> TakeViolations(Check check) {
  std::lock_guard guard(LogLock());
  std::vector<Violation> taken;
  std::vector<Violation> kept;
  for (auto& violation : Log()) {
    (violation.check == check ? taken : kept).push_back(std::move(violation));
  }
  Log().swap(kept);
  return taken;
}

std::size_t PendingViolationCount() {
  std::lock_guard guard(LogLock());
  return Log().size();
}

}  // namespace sim::verifier
