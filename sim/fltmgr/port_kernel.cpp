// Kernel side of the communication ports: the default port descriptor,
// server port creation and closing, client port closing and FltSendMessage.
#include <cstring>

#include "fltmgr/ports_internal.h"
#include "harness/strings.h"
#include "kernel/access_check.h"
#include "kernel/security_descriptor.h"
#include "kernel/thread_state.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

using namespace sim::fltmgr::ports;
using sim::verifier::Check;
using sim::verifier::Report;

namespace {

// Pool tag of descriptors from FltBuildDefaultSecurityDescriptor ("FMsd").
constexpr ULONG kSecurityDescriptorTag = 'F' | ('M' << 8) | ('s' << 16) | ('d' << 24);

std::u16string Upcase(const std::u16string& text) {
  std::u16string upper(text);
  for (auto& c : upper) c = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
  return upper;
}

// The calling thread is inside a message callback of `connection`.
bool InsideOwnCallback(const Connection& connection) {
  const std::uint64_t self = sim::kernel::CurrentThread().threadId;
  for (std::uint64_t thread : connection.callbackThreads) {
    if (thread == self) return true;
  }
  return false;
}

}  // namespace

extern "C" {

// One allocation: the absolute descriptor, then a DACL granting
// DesiredAccess to SYSTEM and Administrators.
NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                  ACCESS_MASK DesiredAccess) {
  if (SecurityDescriptor == nullptr) return STATUS_INVALID_PARAMETER;
  namespace security = sim::kernel::security;
  const security::Bytes system = security::LocalSystemSid();
  const security::Bytes admins = security::AdministratorsSid();
  const ULONG aceHeader = static_cast<ULONG>(FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart));
  const ULONG aclLength =
      static_cast<ULONG>(sizeof(ACL) + 2 * aceHeader + system.size() + admins.size());
  const SIZE_T total = sizeof(SECURITY_DESCRIPTOR) + aclLength;
  auto* memory =
      static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, total, kSecurityDescriptorTag));
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(memory, 0, total);
  auto* acl = reinterpret_cast<PACL>(memory + sizeof(SECURITY_DESCRIPTOR));
  RtlCreateSecurityDescriptor(memory, SECURITY_DESCRIPTOR_REVISION);
  RtlCreateAcl(acl, aclLength, ACL_REVISION);
  RtlAddAccessAllowedAce(acl, ACL_REVISION, DesiredAccess,
                         const_cast<std::uint8_t*>(system.data()));
  RtlAddAccessAllowedAce(acl, ACL_REVISION, DesiredAccess,
                         const_cast<std::uint8_t*>(admins.data()));
  RtlSetDaclSecurityDescriptor(memory, TRUE, acl, FALSE);
  *SecurityDescriptor = memory;
  return STATUS_SUCCESS;
}

VOID FLTAPI FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
  ExFreePoolWithTag(SecurityDescriptor, kSecurityDescriptorTag);
}

NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT* ServerPort,
                                           POBJECT_ATTRIBUTES ObjectAttributes,
                                           PVOID ServerPortCookie,
                                           PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback,
                                           LONG MaxConnections) {
  if (Filter == nullptr || ServerPort == nullptr || ObjectAttributes == nullptr ||
      ObjectAttributes->ObjectName == nullptr || ObjectAttributes->ObjectName->Length == 0 ||
      ConnectNotifyCallback == nullptr || DisconnectNotifyCallback == nullptr ||
      MaxConnections <= 0) {
    return STATUS_INVALID_PARAMETER;
  }
  // Documented: without OBJ_KERNEL_HANDLE the call fails.
  if ((ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0) return STATUS_INVALID_PARAMETER;

  auto server = std::make_shared<sim::fltmgr::ports::ServerPort>();
  server->filter = Filter;
  server->name = sim::harness::ToU16(*ObjectAttributes->ObjectName);
  // Port names are looked up case-insensitively whatever OBJ_CASE_INSENSITIVE
  // says, as the object manager does for its directories.
  server->upcasedName = Upcase(server->name);
  server->cookie = ServerPortCookie;
  server->connect = ConnectNotifyCallback;
  server->disconnect = DisconnectNotifyCallback;
  server->message = MessageNotifyCallback;
  server->maxConnections = MaxConnections;
  if (ObjectAttributes->SecurityDescriptor != nullptr) {
    server->security = sim::kernel::security::CopyDescriptor(ObjectAttributes->SecurityDescriptor);
    if (server->security.empty()) return STATUS_INVALID_SECURITY_DESCR;
  } else {
    // No descriptor: the object manager's default for an object a kernel
    // component creates, which admits SYSTEM and Administrators only.
    PSECURITY_DESCRIPTOR fallback = nullptr;
    if (!NT_SUCCESS(FltBuildDefaultSecurityDescriptor(&fallback, FLT_PORT_ALL_ACCESS)))
      return STATUS_INSUFFICIENT_RESOURCES;
    server->security = sim::kernel::security::CopyDescriptor(fallback);
    FltFreeSecurityDescriptor(fallback);
  }

  State& state = Get();
  std::lock_guard lock(state.lock);
  for (auto& existing : state.servers) {
    if (existing->open && existing->upcasedName == server->upcasedName)
      return STATUS_OBJECT_NAME_COLLISION;
  }
  state.servers.push_back(server);
  *ServerPort = reinterpret_cast<PFLT_PORT>(server.get());
  return STATUS_SUCCESS;
}

// No new connections from now on; existing ones stay until either side
// closes them.
VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort) {
  State& state = Get();
  std::lock_guard lock(state.lock);
  sim::fltmgr::ports::ServerPort* server = FindServer(ServerPort);
  if (server == nullptr || !server->open) {
    Report(Check::Port, server == nullptr
                            ? "FltCloseCommunicationPort on something that is not a server port"
                            : "FltCloseCommunicationPort on a server port already closed");
    return;
  }
  server->open = false;
}

// The disconnect callback runs (once per connection) if it has not yet;
// message callbacks running on other threads are waited for, as the port's
// rundown protection does on Windows.
VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT* ClientPort) {
  if (ClientPort == nullptr || *ClientPort == nullptr) return;
  State& state = Get();
  std::unique_lock lock(state.lock);
  Connection* connection = FindConnection(*ClientPort);
  if (connection == nullptr || connection->filterClosed) {
    Report(Check::Port, connection == nullptr
                            ? "FltCloseClientPort on something that is not a client port"
                            : "FltCloseClientPort on a client port already closed");
    *ClientPort = nullptr;
    return;
  }
  *ClientPort = nullptr;
  if (connection->filter != Filter)
    Report(Check::Port, "FltCloseClientPort with a port of another filter");
  if (InsideOwnCallback(*connection)) {
    // On Windows this waits for the very callback that is making the call.
    Report(Check::Port, "FltCloseClientPort called from a message callback of the same port \"" +
                            sim::harness::ToUtf8(connection->server->name) +
                            "\" (deadlocks on Windows)");
  } else {
    connection->callbacksDrained.wait(lock, [&] { return connection->callbacksRunning == 0; });
  }
  connection->filterClosed = true;
  Disconnect(lock, *connection, true, STATUS_PORT_DISCONNECTED);
}

NTSTATUS FLTAPI FltSendMessage(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer,
                               ULONG SenderBufferLength, PVOID ReplyBuffer, PULONG ReplyLength,
                               PLARGE_INTEGER Timeout) {
  if (Filter == nullptr || SenderBuffer == nullptr ||
      (ReplyBuffer != nullptr && ReplyLength == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (KeGetCurrentIrql() > APC_LEVEL) {
    Report(Check::Irql, "FltSendMessage called above APC_LEVEL");
  }
  // The documented pool-allocation failure.
  if (sim::faults::ShouldFail(sim::faults::Site::SendMessage)) return STATUS_INSUFFICIENT_RESOURCES;
  // The caller's variable is read once: a disconnect callback may clear it
  // meanwhile (drivers read it without a lock, and clear it with
  // FltCloseClientPort or an interlocked exchange), so the read is atomic.
  PFLT_PORT port = ClientPort != nullptr ? __atomic_load_n(ClientPort, __ATOMIC_ACQUIRE) : nullptr;
  if (port == nullptr) return STATUS_PORT_DISCONNECTED;

  State& state = Get();
  std::unique_lock lock(state.lock);
  Connection* connection = FindConnection(port);
  if (connection == nullptr) {
    Report(Check::Port, "FltSendMessage on something that is not a client port");
    return STATUS_PORT_DISCONNECTED;
  }
  if (connection->filter != Filter)
    Report(Check::Port, "FltSendMessage on a port of another filter");
  if (!connection->Connected()) return STATUS_PORT_DISCONNECTED;

  Message message;
  message.id = state.nextMessageId++;
  message.data = static_cast<const std::uint8_t*>(SenderBuffer);
  message.length = SenderBufferLength;
  message.replyBuffer = ReplyBuffer;
  message.replyCapacity = ReplyBuffer != nullptr ? *ReplyLength : 0;
  KeInitializeEvent(&message.finished, NotificationEvent, FALSE);

  // A client already blocked in FilterGetMessage takes it at once.
  std::shared_ptr<std::condition_variable> wakeGetter;
  if (!connection->getters.empty()) {
    GetRequest* get = connection->getters.front();
    connection->getters.pop_front();
    get->status = DeliverInto(*connection, message, get->buffer, get->size);
    get->done = true;
    wakeGetter = get->wake;
  } else {
    connection->queued.push_back(&message);
  }

  NTSTATUS waitStatus = STATUS_SUCCESS;
  const bool mustWait = message.state != Message::State::Done;
  if (mustWait || wakeGetter) {
    lock.unlock();
    if (wakeGetter) wakeGetter->notify_one();
    // One wait covers delivery and reply: the time-out is for the whole call
    // (NULL: no limit; zero: only a client already waiting can take it). The
    // wait is not alertable: the documented interruption is thread
    // termination, which the simulation does not model.
    if (mustWait) {
      waitStatus = KeWaitForSingleObject(&message.finished, Executive, KernelMode, FALSE, Timeout);
    }
    lock.lock();
  }
  switch (message.state) {
    case Message::State::Done:
      if (ReplyBuffer != nullptr) *ReplyLength = message.replyLength;
      return message.replyStatus;
    case Message::State::Disconnected:
      return STATUS_PORT_DISCONNECTED;
    case Message::State::Queued:
      std::erase(connection->queued, &message);
      break;
    case Message::State::AwaitingReply:
      connection->awaitingReply.erase(message.id);
      break;
  }
  // Not delivered or not answered in time: a later reply finds no waiter.
  return waitStatus == STATUS_SUCCESS ? STATUS_TIMEOUT : waitStatus;
}

}  // extern "C"
