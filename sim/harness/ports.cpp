// Harness view of the communication ports (see ports.h).
#include "harness/ports.h"

#include <thread>

#include "fltmgr/port_hostile.h"
#include "fltmgr/ports_internal.h"

namespace sim::harness::ports {
namespace {

using namespace sim::fltmgr::ports;

std::u16string Upcase(std::u16string_view text) {
  std::u16string upper(text);
  for (auto& c : upper) c = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
  return upper;
}

// Sums `count` over the connections of the most recent port of that name.
template <typename Count>
std::size_t SumOverConnections(std::u16string_view portName, Count count) {
  State& state = Get();
  std::lock_guard lock(state.lock);
  const std::u16string name = Upcase(portName);
  ServerPort* server = nullptr;
  for (auto& candidate : state.servers) {
    if (candidate->upcasedName == name) server = candidate.get();
  }
  std::size_t total = 0;
  for (auto& connection : state.connections) {
    if (connection->server.get() == server) total += count(*connection);
  }
  return total;
}

}  // namespace

std::vector<std::u16string> OpenServerPorts() {
  State& state = Get();
  std::lock_guard lock(state.lock);
  std::vector<std::u16string> names;
  for (auto& server : state.servers) {
    if (server->open) names.push_back(server->name);
  }
  return names;
}

std::size_t ConnectedClients(std::u16string_view portName) {
  return SumOverConnections(portName,
                            [](const Connection& c) -> std::size_t { return c.Connected(); });
}

std::size_t QueuedMessages(std::u16string_view portName) {
  return SumOverConnections(portName, [](const Connection& c) { return c.queued.size(); });
}

std::size_t MessagesAwaitingReply(std::u16string_view portName) {
  return SumOverConnections(portName, [](const Connection& c) { return c.awaitingReply.size(); });
}

std::size_t BlockedGetters(std::u16string_view portName) {
  return SumOverConnections(portName, [](const Connection& c) { return c.getters.size(); });
}

bool WaitFor(std::size_t (*probe)(std::u16string_view), std::u16string_view portName,
             std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (probe(portName) != count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void SetMisalignedUserBuffers(bool on) {
  std::lock_guard lock(Get().lock);
  Checks().misalign = on;
}

void SetInputMutation(std::function<void(std::uint8_t*, ULONG)> mutate,
                      unsigned afterMicroseconds) {
  std::lock_guard lock(Get().lock);
  Checks().mutate = std::move(mutate);
  Checks().mutateAfterMicroseconds = afterMicroseconds;
}

void ClearInputMutation() {
  std::lock_guard lock(Get().lock);
  Checks().mutate = nullptr;
}

void SetClientBuffersUnmappedAt(unsigned access) {
  std::lock_guard lock(Get().lock);
  Checks().unmapAtAccess = access;
}

unsigned LastCallGuardedAccesses() { return sim::fltmgr::ports::LastHostileCallAccesses(); }

}  // namespace sim::harness::ports
