// Harness view of the Filter Manager communication ports: what is open and
// connected, what is queued, and the switches of the verifier's user-buffer
// checks on message callbacks. Every port is gone after a machine reset.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nt/ntdef.h"

namespace sim::harness::ports {

// Names of the server ports that are open (not yet FltCloseCommunicationPort'ed).
std::vector<std::u16string> OpenServerPorts();

// Per port name (case-insensitive; the most recent port of that name):
// clients connected (neither side closed), messages sent and not yet
// received by the client, messages received and not yet answered, and
// client threads blocked in FilterGetMessage.
std::size_t ConnectedClients(std::u16string_view portName);
std::size_t QueuedMessages(std::u16string_view portName);
std::size_t MessagesAwaitingReply(std::u16string_view portName);
std::size_t BlockedGetters(std::u16string_view portName);

// Waits (real time) until `probe(portName)` reaches `count`; false on
// time-out. For tests that must know a sender or a getter is blocked.
bool WaitFor(std::size_t (*probe)(std::u16string_view), std::u16string_view portName,
             std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Message callbacks get their buffers at odd addresses (on by default).
void SetMisalignedUserBuffers(bool on);

// A hostile client: `afterMicroseconds` after a message callback starts,
// its input buffer is overwritten with mutate(original) from another thread.
// A callback that fetches a field twice can then see two values.
void SetInputMutation(std::function<void(std::uint8_t* data, ULONG length)> mutate,
                      unsigned afterMicroseconds = 200);
void ClearInputMutation();

// A client that unmaps its buffers mid-call: in every message callback the
// input and output buffers become invalid just before the callback's
// `access`-th guarded access to them (0: never; the mode is off). A guarded
// copy then fails. Any unguarded access faults, whenever it comes. UINT_MAX
// only counts.
void SetClientBuffersUnmappedAt(unsigned access);
// Guarded accesses to the client's buffers by the last callback that ran
// with the mode on.
unsigned LastCallGuardedAccesses();

}  // namespace sim::harness::ports
