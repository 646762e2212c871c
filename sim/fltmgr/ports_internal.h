// Communication ports inside the simulation: the state shared by the
// kernel-side routines (FltCreateCommunicationPort, FltSendMessage, ...),
// the user-side fltlib routines (FilterConnectCommunicationPort, ...), the
// harness, and the hooks the rest of the Filter Manager calls.
//
// One lock guards every port, connection and message. Kernel-side waiters
// (FltSendMessage) wait on a KEVENT with the dispatcher, so their time-outs
// follow the simulation's clock; user-side waiters (FilterGetMessage) wait
// on condition variables, as a user thread blocked in an I/O request would.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fltKernel.h>

namespace sim::fltmgr {

// ---- Hooks for the Filter Manager core ----

// Called by FltUnregisterFilter before the filter goes: every server port
// the filter left open is reported and closed, and every connection the
// filter has not closed gets its disconnect callback (as the Filter Manager
// does when a filter unloads) and is closed.
void ClosePortsOfFilter(PFLT_FILTER filter);

// Server ports plus client ports (not yet closed by the filter) the filter
// still has open.
std::size_t PortsOpenForFilter(PFLT_FILTER filter);

// ---- Shared state ----

namespace ports {

struct Connection;

struct ServerPort {
  PFLT_FILTER filter = nullptr;
  std::u16string name;         // as given
  std::u16string upcasedName;  // port names compare case-insensitively
  PVOID cookie = nullptr;
  PFLT_CONNECT_NOTIFY connect = nullptr;
  PFLT_DISCONNECT_NOTIFY disconnect = nullptr;
  PFLT_MESSAGE_NOTIFY message = nullptr;
  LONG maxConnections = 0;
  // Self-relative copy of the descriptor the port was created with (the
  // creator frees its own); the connect access check reads it.
  std::vector<std::uint8_t> security;
  bool open = true;               // until FltCloseCommunicationPort
};

// A message from FltSendMessage, owned by the sending thread's frame. It is
// on its connection's queue until a FilterGetMessage takes it, then (when a
// reply is expected) in the connection's awaiting-reply map until
// FilterReplyMessage answers it.
struct Message {
  enum class State { Queued, AwaitingReply, Done, Disconnected };
  std::uint64_t id = 0;
  const std::uint8_t* data = nullptr;  // the sender's buffer (kernel memory)
  ULONG length = 0;
  PVOID replyBuffer = nullptr;  // null: no reply expected
  ULONG replyCapacity = 0;
  ULONG replyLength = 0;
  NTSTATUS replyStatus = STATUS_SUCCESS;
  State state = State::Queued;
  KEVENT finished;  // signalled under the port lock
};

// A FilterGetMessage blocked until a message arrives. A sender notifies
// `wake` after dropping the port lock (woken under it, the client thread
// would only block on the lock again); it is shared so that the
// notification stays harmless when the getter has returned meanwhile.
struct GetRequest {
  std::uint8_t* buffer = nullptr;
  ULONG size = 0;
  bool done = false;
  NTSTATUS status = STATUS_SUCCESS;  // mapped to an HRESULT by the caller
  std::shared_ptr<std::condition_variable> wake = std::make_shared<std::condition_variable>();
};

struct Connection {
  std::shared_ptr<ServerPort> server;
  PFLT_FILTER filter = nullptr;
  PVOID cookie = nullptr;  // the connect callback's ConnectionPortCookie
  std::uint32_t clientProcessId = 0;
  bool clientClosed = false;        // the client's handle went (or was never made)
  bool filterClosed = false;        // FltCloseClientPort
  bool disconnectNotified = false;  // the disconnect callback ran (or is running)
  bool disconnectRunning = false;   // ... and has not returned yet
  std::deque<Message*> queued;
  std::map<std::uint64_t, Message*> awaitingReply;
  std::deque<GetRequest*> getters;
  int callbacksRunning = 0;                    // message callbacks in progress
  std::vector<std::uint64_t> callbackThreads;  // simulated thread ids inside a message callback
  std::condition_variable callbacksDrained;

  bool Connected() const { return !clientClosed && !filterClosed; }
  PFLT_PORT Handle() { return reinterpret_cast<PFLT_PORT>(this); }
};

struct State {
  std::mutex lock;
  std::vector<std::shared_ptr<ServerPort>> servers;      // every port ever created since reset
  std::vector<std::shared_ptr<Connection>> connections;  // every connection since reset
  std::uint64_t nextMessageId = 1;
};

State& Get();

// The server port or connection a PFLT_PORT designates, or null. Caller
// holds the lock.
ServerPort* FindServer(PFLT_PORT port);
Connection* FindConnection(PFLT_PORT port);

// Marks a connection disconnected: queued and awaiting messages end with
// STATUS_PORT_DISCONNECTED, blocked getters return `getterStatus`. Caller
// holds the lock; `lock` is released and re-taken around the disconnect
// callback when `runCallback` and it has not run yet.
void Disconnect(std::unique_lock<std::mutex>& lock, Connection& connection, bool runCallback,
                NTSTATUS getterStatus);

// Hands a message to a getter's buffer (`size` at least a
// FILTER_MESSAGE_HEADER): writes the header and as much of the body as
// fits. Returns the getter's status (STATUS_BUFFER_OVERFLOW when the body
// was cut; the message counts as received either way). Caller holds the
// lock.
NTSTATUS DeliverInto(Connection& connection, Message& message, std::uint8_t* buffer, ULONG size);

// User-buffer checks applied to message callbacks (the harness sets them).
struct UserBufferChecks {
  bool misalign = true;  // hand the callback copies at odd addresses
  // When set, the input buffer's contents are replaced by mutate(original)
  // `mutateAfterMicroseconds` after the callback starts, from another thread,
  // as a hostile client would: a callback that reads a field twice can see
  // two different values.
  std::function<void(std::uint8_t* data, ULONG length)> mutate;
  unsigned mutateAfterMicroseconds = 200;
  // When not 0, the client's buffers are unmapped just before the
  // callback's n-th guarded access to them (see port_hostile.h).
  unsigned unmapAtAccess = 0;
};

UserBufferChecks& Checks();  // guarded by State::lock

}  // namespace ports
}  // namespace sim::fltmgr
