// The installer port: which processes still hold handles to server-only
// items.
#include "../core/globals.h"
#include "../support/debug.h"
#include "port_messages.h"
#include "ports.h"

namespace tavo {

NTSTATUS InstallerPortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                              PVOID OutputBuffer, ULONG OutputBufferLength,
                              PULONG ReturnOutputBufferLength) {
  using namespace protocol;
  UNREFERENCED_PARAMETER(PortCookie);
  if (InputBuffer == nullptr || OutputBuffer == nullptr || InputBufferLength < kCommandDataOffset ||
      OutputBufferLength < kCommandReplyHeaderSize || ReturnOutputBufferLength == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  CommandMessage header;
  RtlCopyMemory(&header, InputBuffer, sizeof(header));
  if (header.Code != kCommandOpenHandleReport) return STATUS_INVALID_PARAMETER;

  TAVO_PRINT("TavoClientMergedViewInstanceQueryTeardown: Cannot detach\n");
  // Server-only items are not yet opened by the driver: OpenHandleTable
  // stays empty, and the report lists no process.
  const ULONG length = 0;
  CommandReply reply{0, length};
  RtlCopyMemory(OutputBuffer, &reply, sizeof(reply));
  *ReturnOutputBufferLength = kCommandReplyHeaderSize + length;
  return STATUS_SUCCESS;
}

}  // namespace tavo
