// Shared state of the communication ports: lookup, disconnection, message
// delivery, the unload hook, machine reset and the end-of-test checks.
#include <cstring>
#include <string>

#include <fltUser.h>

#include "fltmgr/ports_internal.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "verifier/verifier.h"

namespace sim::fltmgr {
namespace ports {

State& Get() {
  // Never destroyed: client threads may still touch it during process exit.
  static State* state = new State;
  return *state;
}

UserBufferChecks& Checks() {
  static UserBufferChecks* checks = new UserBufferChecks;
  return *checks;
}

ServerPort* FindServer(PFLT_PORT port) {
  for (auto& server : Get().servers) {
    if (reinterpret_cast<PFLT_PORT>(server.get()) == port) return server.get();
  }
  return nullptr;
}

Connection* FindConnection(PFLT_PORT port) {
  for (auto& connection : Get().connections) {
    if (connection->Handle() == port) return connection.get();
  }
  return nullptr;
}

NTSTATUS DeliverInto(Connection& connection, Message& message, std::uint8_t* buffer, ULONG size) {
  FILTER_MESSAGE_HEADER header{};
  // The reply the client should give, its FILTER_REPLY_HEADER included.
  header.ReplyLength = message.replyBuffer != nullptr
                           ? message.replyCapacity + static_cast<ULONG>(sizeof(FILTER_REPLY_HEADER))
                           : 0;
  header.MessageId = message.id;
  // Callers guarantee room for the header; the body is cut to what fits.
  const ULONG total = static_cast<ULONG>(sizeof(header)) + message.length;
  const ULONG copied = total < size ? total : size;
  std::memcpy(buffer, &header, sizeof(header));
  std::memcpy(buffer + sizeof(header), message.data, copied - sizeof(header));

  // Taken by the client: it now waits for a reply, or the sender is done.
  if (message.replyBuffer != nullptr) {
    message.state = Message::State::AwaitingReply;
    connection.awaitingReply[message.id] = &message;
  } else {
    message.state = Message::State::Done;
    KeSetEvent(&message.finished, IO_NO_INCREMENT, FALSE);
  }
  return copied < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void Disconnect(std::unique_lock<std::mutex>& lock, Connection& connection, bool runCallback,
                NTSTATUS getterStatus) {
  for (Message* message : connection.queued) {
    message->state = Message::State::Disconnected;
    KeSetEvent(&message->finished, IO_NO_INCREMENT, FALSE);
  }
  connection.queued.clear();
  for (auto& [id, message] : connection.awaitingReply) {
    message->state = Message::State::Disconnected;
    KeSetEvent(&message->finished, IO_NO_INCREMENT, FALSE);
  }
  connection.awaitingReply.clear();
  for (GetRequest* get : connection.getters) {
    get->done = true;
    get->status = getterStatus;
    get->wake->notify_one();
  }
  connection.getters.clear();
  if (runCallback && !connection.disconnectNotified) {
    connection.disconnectNotified = true;
    connection.disconnectRunning = true;
    PFLT_DISCONNECT_NOTIFY callback = connection.server->disconnect;
    PVOID cookie = connection.cookie;
    lock.unlock();
    callback(cookie);
    lock.lock();
    connection.disconnectRunning = false;
    connection.callbacksDrained.notify_all();
  }
}

}  // namespace ports

using namespace ports;

void ClosePortsOfFilter(PFLT_FILTER filter) {
  State& state = Get();
  std::unique_lock lock(state.lock);
  for (auto& server : state.servers) {
    if (server->filter != filter || !server->open) continue;
    verifier::Report(verifier::Check::Port,
                     "filter unregistered with server port \"" + harness::ToUtf8(server->name) +
                         "\" still open (FltCloseCommunicationPort missing)");
    server->open = false;
  }
  const std::uint64_t self = kernel::CurrentThread().threadId;
  // Snapshot: the disconnect callbacks run without the lock.
  std::vector<std::shared_ptr<Connection>> connections = state.connections;
  for (auto& connection : connections) {
    if (connection->filter != filter || connection->filterClosed) continue;
    bool insideCallback = false;
    for (std::uint64_t thread : connection->callbackThreads) insideCallback |= thread == self;
    if (insideCallback) {
      verifier::Report(verifier::Check::Port,
                       "filter unregistered from inside its own message callback on port \"" +
                           harness::ToUtf8(connection->server->name) + "\"");
    } else {
      // No message callback may still be running once the filter is gone.
      connection->callbacksDrained.wait(lock, [&] { return connection->callbacksRunning == 0; });
    }
    // As the Filter Manager does at unload: the filter hears of the
    // disconnection and is expected to close its client port. A disconnect
    // callback the client's close already started is waited for instead:
    // the callback runs once per connection, and never after unregistration
    // returns. (The documentation does not say how unregistration meets a
    // disconnect callback in progress; Windows runs down every callback of
    // the filter before the filter goes, and this is the same rule.)
    connection->callbacksDrained.wait(lock, [&] { return !connection->disconnectRunning; });
    Disconnect(lock, *connection, true, STATUS_PORT_DISCONNECTED);
    if (!connection->filterClosed) {
      verifier::Report(verifier::Check::Port,
                       "client port of \"" + harness::ToUtf8(connection->server->name) +
                           "\" still open after the filter's disconnect callback at unregistration "
                           "(FltCloseClientPort missing)");
      connection->filterClosed = true;
    }
  }
}

std::size_t PortsOpenForFilter(PFLT_FILTER filter) {
  State& state = Get();
  std::lock_guard lock(state.lock);
  std::size_t count = 0;
  for (auto& server : state.servers) count += server->filter == filter && server->open;
  for (auto& connection : state.connections)
    count += connection->filter == filter && !connection->filterClosed;
  return count;
}

namespace {

// Ports and connections do not survive a machine reset. Threads of an
// earlier test are gone by now; anything still blocked is released.
kernel::ResetHookRegistration resetPorts(kernel::ResetOrder::FilterManager, [] {
  State& state = Get();
  std::unique_lock lock(state.lock);
  for (auto& connection : state.connections) {
    connection->clientClosed = connection->filterClosed = true;
    connection->disconnectNotified = true;
    Disconnect(lock, *connection, false, STATUS_PORT_DISCONNECTED);
  }
  state.connections.clear();
  state.servers.clear();
  state.nextMessageId = 1;
  Checks() = UserBufferChecks{};
});

// Every port a test opened must be closed by its end: server ports by the
// filter, client ports by both the filter and the client.
kernel::EndOfTestCheckRegistration portsClosed([] {
  State& state = Get();
  std::lock_guard lock(state.lock);
  for (auto& server : state.servers) {
    if (server->open) {
      verifier::Report(verifier::Check::Port, "server port \"" + harness::ToUtf8(server->name) +
                                                  "\" still open at the end of the test");
    }
  }
  for (auto& connection : state.connections) {
    std::string name = harness::ToUtf8(connection->server->name);
    if (!connection->filterClosed) {
      verifier::Report(verifier::Check::Port,
                       "client port of \"" + name +
                           "\" not closed by the filter (FltCloseClientPort) at the end "
                           "of the test");
    }
    if (!connection->clientClosed) {
      verifier::Report(verifier::Check::Port,
                       "client connection to \"" + name + "\" still open in process " +
                           std::to_string(connection->clientProcessId) + " at the end of the test");
    }
  }
});

}  // namespace
}  // namespace sim::fltmgr
