// Port creation, connection and disconnection. Each port takes one client;
// its client port handle is set while the client is connected.
#include "ports.h"

#include "../core/globals.h"
#include "../core/hardening.h"
#include "port_messages.h"
#include "request_exchange.h"

namespace tavo {
namespace {

// Connect and disconnect callbacks are per port, so each knows its slot.
template <PFLT_PORT DriverGlobals::*ClientPort>
NTSTATUS FLTAPI Connect(PFLT_PORT ClientPortHandle, PVOID, PVOID, ULONG, PVOID* ConnectionCookie) {
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&(Globals.*ClientPort)),
                             ClientPortHandle);
  if (ConnectionCookie != nullptr) *ConnectionCookie = nullptr;
  return STATUS_SUCCESS;
}

// Takes a client port out of its slot and closes it. The client's
// disconnect and unload may close the same connection at once; whichever
// takes the handle first closes it, the other finds the slot empty.
void CloseClientPort(PFLT_PORT& slot) {
  PFLT_PORT port = static_cast<PFLT_PORT>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&slot), nullptr));
  if (port != nullptr) FltCloseClientPort(Globals.FilterHandle, &port);
}

template <PFLT_PORT DriverGlobals::*ClientPort>
void FLTAPI Disconnect(PVOID) {
  CloseClientPort(Globals.*ClientPort);
  // Answers come only on the response port: without its client, requests
  // that are still waiting would wait for ever.
  if constexpr (ClientPort == &DriverGlobals::ResponseClientPort) {
    FailPendingRequests(STATUS_PORT_DISCONNECTED);
  }
}

NTSTATUS CreatePort(const WCHAR* name, PSECURITY_DESCRIPTOR security, PFLT_PORT* serverPort,
                    PFLT_CONNECT_NOTIFY connect, PFLT_DISCONNECT_NOTIFY disconnect,
                    PFLT_MESSAGE_NOTIFY message) {
  UNICODE_STRING portName;
  RtlInitUnicodeString(&portName, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &portName, OBJ_KERNEL_HANDLE, nullptr, security);
  return FltCreateCommunicationPort(Globals.FilterHandle, serverPort, &attributes, nullptr, connect,
                                    disconnect, message, 1);
}

}  // namespace

NTSTATUS CreateCommunicationPorts() {
  PSECURITY_DESCRIPTOR security = nullptr;
  NTSTATUS status = FltBuildDefaultSecurityDescriptor(&security, FLT_PORT_ALL_ACCESS);
  if (!NT_SUCCESS(status)) return status;
  // A NULL DACL: processes of any user may connect. With the opt-in
  // restriction the default descriptor stays: SYSTEM and Administrators.
  if (!Hardening.AdministratorsOnlyPorts) RtlSetDaclSecurityDescriptor(security, TRUE, nullptr, FALSE);

  using protocol::kFileChangePortName;
  using protocol::kInstallerPortName;
  using protocol::kRequestPortName;
  using protocol::kResponsePortName;
  status = CreatePort(kRequestPortName, security, &Globals.RequestServerPort,
                      Connect<&DriverGlobals::RequestClientPort>,
                      Disconnect<&DriverGlobals::RequestClientPort>, nullptr);
  if (NT_SUCCESS(status)) {
    status = CreatePort(kFileChangePortName, security, &Globals.FileChangeServerPort,
                        Connect<&DriverGlobals::FileChangeClientPort>,
                        Disconnect<&DriverGlobals::FileChangeClientPort>, nullptr);
  }
  if (NT_SUCCESS(status)) {
    status = CreatePort(kInstallerPortName, security, &Globals.InstallerServerPort,
                        Connect<&DriverGlobals::InstallerClientPort>,
                        Disconnect<&DriverGlobals::InstallerClientPort>, InstallerPortMessage);
  }
  if (NT_SUCCESS(status)) {
    status = CreatePort(kResponsePortName, security, &Globals.ResponseServerPort,
                        Connect<&DriverGlobals::ResponseClientPort>,
                        Disconnect<&DriverGlobals::ResponseClientPort>, ResponsePortMessage);
  }
  FltFreeSecurityDescriptor(security);

  if (!NT_SUCCESS(status)) CloseCommunicationPorts();
  return status;
}

void CloseCommunicationPorts() {
  PFLT_PORT* serverPorts[] = {&Globals.RequestServerPort, &Globals.FileChangeServerPort,
                              &Globals.ResponseServerPort, &Globals.InstallerServerPort};
  for (PFLT_PORT* port : serverPorts) {
    if (*port != nullptr) {
      FltCloseCommunicationPort(*port);
      *port = nullptr;
    }
  }
  // Closing a server port leaves its connection open; close the connections
  // too, so that no command reaches the driver while it tears down.
  PFLT_PORT* clientPorts[] = {&Globals.RequestClientPort, &Globals.FileChangeClientPort,
                              &Globals.ResponseClientPort, &Globals.InstallerClientPort};
  for (PFLT_PORT* port : clientPorts) CloseClientPort(*port);
}

}  // namespace tavo
