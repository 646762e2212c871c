// The four communication ports: creation at start-up and the message
// callbacks of the two ports the client sends on.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Creates the request, file-change, installer and response ports, in that
// order. On a failure the ports created so far are closed and cleared.
NTSTATUS CreateCommunicationPorts();

// Closes the server ports that exist, in unload's order.
void CloseCommunicationPorts();

// Message callback of the response port: answers and control commands.
NTSTATUS ResponsePortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                             PVOID OutputBuffer, ULONG OutputBufferLength,
                             PULONG ReturnOutputBufferLength);

// Message callback of the installer port: the open-handle query.
NTSTATUS InstallerPortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                              PVOID OutputBuffer, ULONG OutputBufferLength,
                              PULONG ReturnOutputBufferLength);

}  // namespace tavo
