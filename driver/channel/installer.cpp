// The installer port: which processes still hold handles to server-only
// items.
#include "../core/globals.h"
#include "../create/open_handle_table.h"
#include "../create/requestor.h"
#include "../support/counted_string.h"
#include "../support/locks.h"
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
  // The names of the processes holding server-only items, separated by ','
  // with a NUL in place of the last one. Length counts every name the walk
  // met, also one that no longer fits.
  auto* data = static_cast<UCHAR*>(OutputBuffer) + kCommandReplyDataOffset;
  const ULONG capacity = ReplyDataCapacity(OutputBufferLength);
  ULONG length = 0;
  bool tooSmall = false;
  {
    ExclusiveLock lock(Globals.OpenHandleTableLock);
    ForEachOpener([&](OpenHandleEntry& entry, OpenerRecord& opener) {
      OwnedString processName;
      GetProcessImageName(&processName, opener.ProcessHandleId);
      TAVO_PRINT("TavoClientMergedViewUnload: Process %wZ has an open handle to file/folder %wZ\n",
                 &processName.Get(), &entry.Path);
      const ULONG start = length;
      length += processName->Length + sizeof(WCHAR);
      if (length > capacity) {
        tooSmall = true;
        return false;
      }
      if (processName->Length != 0) RtlCopyMemory(data + start, processName->Buffer, processName->Length);
      const WCHAR separator = L',';
      RtlCopyMemory(data + start + processName->Length, &separator, sizeof(separator));
      return true;
    });
  }
  if (!tooSmall && length != 0) {
    const WCHAR terminator = L'\0';
    RtlCopyMemory(data + length - sizeof(WCHAR), &terminator, sizeof(terminator));
  }
  CommandReply reply{tooSmall ? static_cast<ULONG>(STATUS_BUFFER_TOO_SMALL) : 0u, length};
  RtlCopyMemory(OutputBuffer, &reply, sizeof(reply));
  // Never more than the caller's buffer, even when Length counts a name
  // that did not fit.
  *ReturnOutputBufferLength = ReportedReplyLength(length, OutputBufferLength);
  return STATUS_SUCCESS;
}

}  // namespace tavo
