// The installer port: which processes still hold handles to server-only
// items.
#include "../core/globals.h"
#include "../create/open_handle_table.h"
#include "../create/requestor.h"
#include "../support/counted_string.h"
#include "../support/locks.h"
#include "../support/debug.h"
#include "../support/pool.h"
#include "../support/user_buffer.h"
#include "port_messages.h"
#include "ports.h"

namespace tavo {

namespace {

// The report's Data, built in pool while the table lock is held and copied
// to the client once the lock is gone. It grows as names come, never past
// the room the client's buffer has.
class ReportData {
 public:
  explicit ReportData(ULONG capacity) : capacity_(capacity) {}

  // Appends a name and its separator; false when the buffer would not hold
  // them (the report is then too small) or pool is short.
  bool Append(const UNICODE_STRING& name, bool* poolShort) {
    const ULONGLONG wanted = static_cast<ULONGLONG>(length_) + name.Length + sizeof(WCHAR);
    if (wanted > capacity_) return false;
    const ULONG needed = static_cast<ULONG>(wanted);
    if (needed > buffer_.Size() && !Grow(needed)) {
      *poolShort = true;
      return false;
    }
    if (name.Length != 0) RtlCopyMemory(buffer_.Data() + length_, name.Buffer, name.Length);
    const WCHAR separator = L',';
    RtlCopyMemory(buffer_.Data() + length_ + name.Length, &separator, sizeof(separator));
    length_ = needed;
    return true;
  }
  // The last separator becomes the terminating NUL.
  void Terminate() {
    if (length_ == 0) return;
    const WCHAR terminator = L'\0';
    RtlCopyMemory(buffer_.Data() + length_ - sizeof(WCHAR), &terminator, sizeof(terminator));
  }
  const UCHAR* Data() const { return buffer_.Data(); }
  ULONG Length() const { return length_; }

 private:
  bool Grow(ULONG needed) {
    ULONG size = buffer_.Size() < 256 ? 256 : buffer_.Size();
    while (size < needed) size = size > MAXULONG / 2 ? MAXULONG : size * 2;
    if (size > capacity_) size = capacity_;
    PoolBuffer larger = PoolBuffer::Allocate(NonPagedPool, size);
    if (!larger) return false;
    if (length_ != 0) RtlCopyMemory(larger.Data(), buffer_.Data(), length_);
    buffer_ = static_cast<PoolBuffer&&>(larger);
    return true;
  }

  ULONG capacity_;
  ULONG length_ = 0;
  PoolBuffer buffer_;
};

}  // namespace

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
  NTSTATUS status = CopyFromUser(&header, InputBuffer, sizeof(header));
  if (!NT_SUCCESS(status)) return status;
  if (header.Code != kCommandOpenHandleReport) return STATUS_INVALID_PARAMETER;

  TAVO_PRINT("TavoClientMergedViewInstanceQueryTeardown: Cannot detach\n");
  // The names of the processes holding server-only items, separated by ','
  // with a NUL in place of the last one. Length counts every name the walk
  // met, also one that no longer fits.
  ReportData data(ReplyDataCapacity(OutputBufferLength));
  ULONG length = 0;
  bool tooSmall = false;
  bool poolShort = false;
  {
    ExclusiveLock lock(Globals.OpenHandleTableLock);
    ForEachOpener([&](OpenHandleEntry& entry, OpenerRecord& opener) {
      OwnedString processName;
      GetProcessImageName(&processName, opener.ProcessHandleId);
      TAVO_PRINT("TavoClientMergedViewUnload: Process %wZ has an open handle to file/folder %wZ\n",
                 &processName.Get(), &entry.Path);
      length += processName->Length + sizeof(WCHAR);
      if (!data.Append(processName.Get(), &poolShort)) {
        tooSmall = true;
        return false;
      }
      return true;
    });
  }
  if (poolShort) return STATUS_INSUFFICIENT_RESOURCES;
  if (!tooSmall) data.Terminate();
  CommandReply reply{tooSmall ? static_cast<ULONG>(STATUS_BUFFER_TOO_SMALL) : 0u, length};
  status = CopyToUser(OutputBuffer, &reply, sizeof(reply));
  if (NT_SUCCESS(status) && data.Length() != 0) {
    status = CopyToUser(static_cast<UCHAR*>(OutputBuffer) + kCommandReplyDataOffset, data.Data(),
                        data.Length());
  }
  if (!NT_SUCCESS(status)) return status;
  // Never more than the caller's buffer, even when Length counts a name
  // that did not fit.
  *ReturnOutputBufferLength = ReportedReplyLength(length, OutputBufferLength);
  return STATUS_SUCCESS;
}

}  // namespace tavo
