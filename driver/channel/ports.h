// The four communication ports: creation at start-up and the message
// callbacks of the two ports the client sends on.
#pragma once

#include <fltKernel.h>

#include "port_messages.h"

namespace tavo {

// Creates the request, file-change, installer and response ports, in that
// order. On a failure the ports created so far are closed and cleared.
NTSTATUS CreateCommunicationPorts();

// Closes the server ports that exist, in unload's order.
void CloseCommunicationPorts();

// Bytes of Data that a command's output buffer of `outputLength` bytes holds
// after the CommandReply header; the caller has checked that the buffer is
// at least kCommandReplyHeaderSize long.
inline ULONG ReplyDataCapacity(ULONG outputLength) {
  return outputLength - protocol::kCommandReplyDataOffset;
}

// The output length reported for a reply carrying `dataLength` bytes of
// Data: the fixed 12 plus the data, but never more than the caller's buffer.
inline ULONG ReportedReplyLength(ULONG dataLength, ULONG outputLength) {
  const ULONG reported = protocol::kCommandReplyHeaderSize + dataLength;
  return reported < outputLength ? reported : outputLength;
}

// Message callback of the response port: answers and control commands.
NTSTATUS FLTAPI ResponsePortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                             PVOID OutputBuffer, ULONG OutputBufferLength,
                             PULONG ReturnOutputBufferLength);

// Message callback of the installer port: the open-handle query.
NTSTATUS FLTAPI InstallerPortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                              PVOID OutputBuffer, ULONG OutputBufferLength,
                              PULONG ReturnOutputBufferLength);

}  // namespace tavo
