// User side of the communication ports (fltlib): connect, get, reply, send,
// close. Every call runs as the calling thread's simulated process; the
// port handle lives in that process's handle table.
#include <fltUser.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "fltmgr/port_hostile.h"
#include "fltmgr/ports_internal.h"
#include "harness/strings.h"
#include "kernel/access_check.h"
#include "kernel/hostile_rewrite.h"
#include "kernel/object_manager.h"
#include "kernel/thread_state.h"
#include "verifier/bookkeeping.h"
#include "verifier/verifier.h"

using namespace sim::fltmgr::ports;

namespace {

// The NTSTATUS -> Win32 error mapping fltlib applies (the subset these
// calls produce), wrapped as an HRESULT. Codes without a mapping here come
// back as HRESULT_FROM_NT.
HRESULT ToHresult(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return S_OK;
    case STATUS_OBJECT_NAME_NOT_FOUND:
      return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case STATUS_OBJECT_NAME_INVALID:
      return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    case STATUS_ACCESS_DENIED:
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case STATUS_INVALID_HANDLE:
    case STATUS_PORT_DISCONNECTED:
      return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    case STATUS_INVALID_PARAMETER:
      return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    case STATUS_INSUFFICIENT_RESOURCES:
      return HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES);
    case STATUS_NO_MEMORY:
      return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
    case STATUS_BUFFER_OVERFLOW:
      return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
    case STATUS_BUFFER_TOO_SMALL:
      return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    case STATUS_CANCELLED:
      return HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
    case STATUS_NOT_SUPPORTED:
      return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    case STATUS_CONNECTION_COUNT_LIMIT:
      return HRESULT_FROM_WIN32(ERROR_CONNECTION_COUNT_LIMIT);
    case STATUS_OBJECT_NAME_COLLISION:
      return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    case STATUS_FLT_NO_WAITER_FOR_REPLY:
      return ERROR_FLT_NO_WAITER_FOR_REPLY;
    default:
      return HRESULT_FROM_NT(status);
  }
}

// The object behind a client's port handle. Closing its last handle
// disconnects the client.
class PortHandleObject final : public sim::kernel::KernelObject {
 public:
  explicit PortHandleObject(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  const char* TypeName() const override { return "FilterConnectionPort"; }
  void* Body() override { return &body_; }
  Connection& connection() { return *connection_; }

 protected:
  void OnLastHandleClosed() override {
    State& state = Get();
    std::unique_lock lock(state.lock);
    if (connection_->clientClosed) return;  // the machine was reset meanwhile
    connection_->clientClosed = true;
    // A blocked FilterGetMessage is cancelled; the filter hears of the
    // disconnection unless it closed the port itself.
    Disconnect(lock, *connection_, !connection_->filterClosed, STATUS_CANCELLED);
  }

 private:
  std::shared_ptr<Connection> connection_;
  char body_ = 0;
};

// Resolves a port handle of the calling process; holds a reference.
class PortReference {
 public:
  explicit PortReference(HANDLE handle) {
    object_ = sim::kernel::ReferenceHandle(handle, UserMode);
    port_ = dynamic_cast<PortHandleObject*>(object_);
  }
  ~PortReference() {
    if (object_ != nullptr) object_->Dereference();
  }
  PortReference(const PortReference&) = delete;
  PortReference& operator=(const PortReference&) = delete;
  explicit operator bool() const { return port_ != nullptr; }
  Connection& connection() { return port_->connection(); }

 private:
  sim::kernel::KernelObject* object_ = nullptr;
  PortHandleObject* port_ = nullptr;
};

std::u16string Upcase(const std::u16string& text) {
  std::u16string upper(text);
  for (auto& c : upper) c = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
  return upper;
}

std::size_t LiveConnections(const ServerPort& server) {
  std::size_t count = 0;
  for (auto& connection : Get().connections)
    count += connection->server.get() == &server && connection->Connected();
  return count;
}

}  // namespace

extern "C" {

HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions,
                                              LPCVOID lpContext, WORD wSizeOfContext,
                                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                              HANDLE* hPort) {
  UNREFERENCED_PARAMETER(lpSecurityAttributes);
  if (hPort == nullptr) return E_INVALIDARG;
  *hPort = INVALID_HANDLE_VALUE;
  if (lpPortName == nullptr || (dwOptions & ~FLT_PORT_FLAG_SYNC_HANDLE) != 0 ||
      (lpContext == nullptr && wSizeOfContext != 0)) {
    return E_INVALIDARG;
  }
  const std::u16string name = Upcase(sim::harness::ToU16(lpPortName));
  const std::uint32_t process = sim::kernel::CurrentThread().processId;

  State& state = Get();
  std::unique_lock lock(state.lock);
  std::shared_ptr<ServerPort> server;
  for (auto& candidate : state.servers) {
    if (candidate->open && candidate->upcasedName == name) server = candidate;
  }
  if (server == nullptr) return ToHresult(STATUS_OBJECT_NAME_NOT_FOUND);
  // Connecting opens the port for FLT_PORT_CONNECT: the caller's token
  // against the port's descriptor.
  const auto caller = sim::kernel::FindProcess(process);
  namespace security = sim::kernel::security;
  if (!caller || !security::AccessGranted(
                     server->security.data(),
                     security::TokenSids(caller->account), FLT_PORT_CONNECT, FLT_PORT_ALL_ACCESS)) {
    return E_ACCESSDENIED;
  }
  if (LiveConnections(*server) >= static_cast<std::size_t>(server->maxConnections)) {
    return ToHresult(STATUS_CONNECTION_COUNT_LIMIT);
  }
  // The slot is taken before the connect callback runs, so that concurrent
  // connects cannot exceed MaxConnections.
  auto connection = std::make_shared<Connection>();
  connection->server = server;
  connection->filter = server->filter;
  connection->clientProcessId = process;
  state.connections.push_back(connection);
  lock.unlock();

  // The filter sees a kernel copy of the context, as the Filter Manager
  // captures it from the create request.
  std::vector<std::uint8_t> context;
  if (wSizeOfContext != 0) {
    auto* bytes = static_cast<const std::uint8_t*>(lpContext);
    context.assign(bytes, bytes + wSizeOfContext);
  }
  PVOID cookie = nullptr;
  NTSTATUS status =
      server->connect(connection->Handle(), server->cookie,
                      context.empty() ? nullptr : context.data(), wSizeOfContext, &cookie);

  lock.lock();
  if (!NT_SUCCESS(status)) {
    // Refused: no disconnect callback, and the port object goes away.
    connection->clientClosed = connection->filterClosed = connection->disconnectNotified = true;
    Disconnect(lock, *connection, false, STATUS_PORT_DISCONNECTED);
    return ToHresult(status);
  }
  connection->cookie = cookie;
  lock.unlock();

  auto* object = new PortHandleObject(connection);
  *hPort = sim::kernel::InsertHandle(object, FLT_PORT_ALL_ACCESS, false);
  object->Dereference();  // the handle holds it now
  return S_OK;
}

HRESULT WINAPI FilterGetMessage(HANDLE hPort, PFILTER_MESSAGE_HEADER lpMessageBuffer,
                                DWORD dwMessageBufferSize, LPOVERLAPPED lpOverlapped) {
  // Overlapped I/O is not simulated.
  if (lpOverlapped != nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
  if (lpMessageBuffer == nullptr || dwMessageBufferSize < sizeof(FILTER_MESSAGE_HEADER))
    return E_INVALIDARG;
  PortReference port(hPort);
  if (!port) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  Connection& connection = port.connection();

  State& state = Get();
  std::unique_lock lock(state.lock);
  if (!connection.Connected()) return ToHresult(STATUS_PORT_DISCONNECTED);
  auto* buffer = reinterpret_cast<std::uint8_t*>(lpMessageBuffer);
  if (!connection.queued.empty()) {
    Message* message = connection.queued.front();
    connection.queued.pop_front();
    return ToHresult(DeliverInto(connection, *message, buffer, dwMessageBufferSize));
  }
  GetRequest get;
  get.buffer = buffer;
  get.size = dwMessageBufferSize;
  connection.getters.push_back(&get);
  get.wake->wait(lock, [&] { return get.done; });
  return ToHresult(get.status);
}

HRESULT WINAPI FilterReplyMessage(HANDLE hPort, PFILTER_REPLY_HEADER lpReplyBuffer,
                                  DWORD dwReplyBufferSize) {
  if (lpReplyBuffer == nullptr || dwReplyBufferSize < sizeof(FILTER_REPLY_HEADER))
    return E_INVALIDARG;
  PortReference port(hPort);
  if (!port) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  Connection& connection = port.connection();

  State& state = Get();
  std::lock_guard lock(state.lock);
  if (!connection.Connected()) return ToHresult(STATUS_PORT_DISCONNECTED);
  auto it = connection.awaitingReply.find(lpReplyBuffer->MessageId);
  // Unknown, already answered, or given up by its sender (time-out).
  if (it == connection.awaitingReply.end()) return ERROR_FLT_NO_WAITER_FOR_REPLY;
  Message& message = *it->second;
  connection.awaitingReply.erase(it);

  // The body after the header goes to the sender's reply buffer; one longer
  // than that buffer is cut and the sender gets STATUS_BUFFER_OVERFLOW. The
  // header's Status is not passed on.
  const ULONG body = dwReplyBufferSize - static_cast<ULONG>(sizeof(FILTER_REPLY_HEADER));
  const ULONG copied = body < message.replyCapacity ? body : message.replyCapacity;
  std::memcpy(message.replyBuffer,
              reinterpret_cast<const std::uint8_t*>(lpReplyBuffer) + sizeof(FILTER_REPLY_HEADER),
              copied);
  message.replyLength = copied;
  message.replyStatus = body > message.replyCapacity ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  message.state = Message::State::Done;
  KeSetEvent(&message.finished, IO_NO_INCREMENT, FALSE);
  return S_OK;
}

HRESULT WINAPI FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize,
                                 LPVOID lpOutBuffer, DWORD dwOutBufferSize,
                                 LPDWORD lpBytesReturned) {
  if (lpBytesReturned == nullptr) return E_INVALIDARG;
  *lpBytesReturned = 0;
  PortReference port(hPort);
  if (!port) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  Connection& connection = port.connection();

  State& state = Get();
  std::unique_lock lock(state.lock);
  if (!connection.Connected()) return ToHresult(STATUS_PORT_DISCONNECTED);
  PFLT_MESSAGE_NOTIFY callback = connection.server->message;
  // A port created without a message callback refuses data from the client.
  if (callback == nullptr) return ToHresult(STATUS_NOT_SUPPORTED);
  const std::uint64_t self = sim::kernel::CurrentThread().threadId;
  connection.callbacksRunning++;
  connection.callbackThreads.push_back(self);
  const UserBufferChecks checks = Checks();
  lock.unlock();

  // User memory as the verifier hands it over: copies at odd addresses
  // (and a private input copy whenever a hostile rewrite is asked for).
  // Without the verifier's bookkeeping (a machine without Driver Verifier)
  // the callback gets the client's buffers as they are.
  const bool misalign = checks.misalign && sim::verifier::KeepsBookkeeping();
  std::uint8_t* input = static_cast<std::uint8_t*>(lpInBuffer);
  std::uint8_t* output = static_cast<std::uint8_t*>(lpOutBuffer);
  std::vector<std::uint8_t> inputCopy, outputCopy;
  std::unique_ptr<HostileMessageBuffers> hostile;
  if (checks.unmapAtAccess != 0) {
    hostile = std::make_unique<HostileMessageBuffers>(lpInBuffer, dwInBufferSize, lpOutBuffer,
                                                      dwOutBufferSize, checks.unmapAtAccess);
    input = hostile->Input();
    output = hostile->Output();
  } else if (input != nullptr && (misalign || checks.mutate)) {
    inputCopy.assign(dwInBufferSize + 1, 0);
    input = inputCopy.data() + (misalign ? 1 : 0);
    std::memcpy(input, lpInBuffer, dwInBufferSize);
  }
  if (output != nullptr && misalign && !hostile) {
    outputCopy.assign(dwOutBufferSize + 1, 0);
    std::memcpy(outputCopy.data() + 1, output, dwOutBufferSize);
    output = outputCopy.data() + 1;
  }

  ULONG returned = 0;
  NTSTATUS status;
  if (checks.mutate) {
    sim::kernel::HostileRewrite rewrite(input, dwInBufferSize, checks.mutate,
                                        std::chrono::microseconds(checks.mutateAfterMicroseconds));
    status = callback(connection.cookie, input, dwInBufferSize, output, dwOutBufferSize, &returned);
  } else {
    status = callback(connection.cookie, input, dwInBufferSize, output, dwOutBufferSize, &returned);
  }
  if (hostile) {
    hostile->CopyOutputBack(lpOutBuffer, dwOutBufferSize);
  } else if (output != lpOutBuffer) {
    std::memcpy(lpOutBuffer, output, dwOutBufferSize);
  }
  if (output != nullptr && returned > dwOutBufferSize) {
    sim::verifier::Report(sim::verifier::Check::Port,
                          "message callback of \"" + sim::harness::ToUtf8(connection.server->name) +
                              "\" reported " + std::to_string(returned) + " output bytes for a " +
                              std::to_string(dwOutBufferSize) + "-byte buffer");
    returned = dwOutBufferSize;
  }
  *lpBytesReturned = output != nullptr ? returned : 0;

  lock.lock();
  connection.callbacksRunning--;
  std::erase(connection.callbackThreads, self);
  if (connection.callbacksRunning == 0) connection.callbacksDrained.notify_all();
  return NT_SUCCESS(status) ? S_OK : ToHresult(status);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  return NT_SUCCESS(sim::kernel::CloseHandle(hObject, UserMode)) ? TRUE : FALSE;
}

}  // extern "C"
