// The response port's message callback: the client's control commands and
// its answers to pending requests.
//
// The message is the client's memory, touched only through the guarded
// copy. It is captured once into pool, then validated completely before
// anything changes; the reply is built in pool and copied out once. A
// rejected message gets STATUS_INVALID_PARAMETER, and one whose buffers
// fault STATUS_INVALID_USER_BUFFER; neither changes anything.
#include "../core/globals.h"
#include "../create/create_screen.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "../support/user_buffer.h"
#include "../tables/process_lists.h"
#include "port_messages.h"
#include "ports.h"
#include "request_exchange.h"

namespace tavo {
namespace {

using namespace protocol;

// Bytes of the scratch buffer that holds one long name (with its NUL) in the
// populate-short-names command.
constexpr ULONG kShortNameScratchBytes = 2560;
constexpr USHORT kShortNameResultBytes = 24;
constexpr ULONG kMaxShortNameAttempts = 0x10000;

struct Reply {
  ULONG status = 0;
  ULONG length = 0;             // CommandReply.Length
  const UCHAR* data = nullptr;  // Data to copy after the header
  ULONG dataBytes = 0;
  ULONG reportedDataBytes = 0;  // Data counted in the reported output length
};

// --- configuration -------------------------------------------------------

// Characters before the NUL of a root field; false when the field has none.
bool MeasureRootField(const char16* field, USHORT* lengthBytes) {
  const ULONG chars = BoundedLength(field, kRootFieldBytes / sizeof(char16));
  if (chars == kRootFieldBytes / sizeof(char16)) return false;
  *lengthBytes = static_cast<USHORT>(chars * sizeof(char16));
  return true;
}

void ReplaceRoot(UNICODE_STRING& root, const char16* path, USHORT lengthBytes) {
  FreeStringBuffer(root);
  OwnedString fresh = OwnedString::WithCapacity(NonPagedPool, kRootBufferBytes);
  if (!fresh.HasBuffer()) return;  // the root stays empty
  UNICODE_STRING source = BorrowString(path, lengthBytes);
  RtlCopyUnicodeString(&fresh.Get(), &source);
  root = fresh.Release();
}

// Index of the third backslash; a root without one is taken whole as the
// volume's name (a view rooted at the volume itself).
USHORT VolumePrefixOf(const char16* path, USHORT lengthBytes) {
  const USHORT chars = lengthBytes / sizeof(char16);
  int seen = 0;
  for (USHORT i = 0; i < chars; ++i) {
    if (path[i] == L'\\' && ++seen == 3) return i;
  }
  return chars;
}

NTSTATUS Configure(const UCHAR* message, ULONG length) {
  if (length < kConfigurationCommandSize) return STATUS_INVALID_PARAMETER;
  ConfigurationCommand command;
  RtlCopyMemory(&command, message, sizeof(command));
  USHORT merged = 0, backend = 0, secondary = 0;
  if (!MeasureRootField(command.MergedViewPath, &merged) ||
      !MeasureRootField(command.BackendPath, &backend) ||
      !MeasureRootField(command.SecondaryViewPath, &secondary)) {
    return STATUS_INVALID_PARAMETER;
  }

  Globals.ConfiguredSessionId = command.SessionId;
  const USHORT prefix = VolumePrefixOf(command.MergedViewPath, merged);
  {
    ExclusiveLock lock(Globals.RootPathLock);
    ReplaceRoot(Globals.MergedViewRoot, command.MergedViewPath, merged);
    ReplaceRoot(Globals.SecondaryViewRoot, command.SecondaryViewPath, secondary);
    ReplaceRoot(Globals.BackendRoot, command.BackendPath, backend);
    // Readers take the prefix length (and the client's session id below)
    // without a lock, as specified; written with the roots, it never goes
    // with the other roots for a reader that holds the lock. A client that
    // sends its configuration again, as it does after every reconnection,
    // changes neither: they are written only when they change, so a reload
    // never writes under a reader.
    if (Globals.VolumePrefixLength != prefix) Globals.VolumePrefixLength = prefix;
    PublishRootLengths(prefix);
  }

  UNICODE_STRING volumeName = BorrowString(
      command.MergedViewPath, static_cast<USHORT>(prefix * sizeof(char16)));
  PFLT_VOLUME volume = nullptr;
  if (NT_SUCCESS(FltGetVolumeFromName(Globals.FilterHandle, &volumeName, &volume))) {
    (void)FltAttachVolume(Globals.FilterHandle, volume, nullptr, nullptr);
    if (Globals.ClientSessionId != Globals.ConfiguredSessionId) {
      Globals.ClientSessionId = Globals.ConfiguredSessionId;
    }
    KeepAttachedVolume(volume);  // with the reference the look-up took
  }
  return STATUS_SUCCESS;
}

// --- process lists -------------------------------------------------------

struct ListEntryView {
  UNICODE_STRING name;
  UNICODE_STRING extension;
};

// Walks the entry chain of a list command; every entry lies inside the message.
class ProcessListWalk {
 public:
  ProcessListWalk(const UCHAR* message, ULONG length) : message_(message), length_(length) {}

  // Checks the whole chain: entries inside the message, UTF-16 lengths, and
  // NextOffset moving forward by an even step. Returns the number of entries, 0 if malformed.
  ULONG Validate() const {
    ULONG count = 0;
    ULONG offset = kProcessListFirstEntryOffset;
    for (;;) {
      ProcessListEntry entry{};
      if (!Read(offset, &entry)) return 0;
      ++count;
      if (entry.NextOffset == 0) return count;
      // An odd step would put the next entry's UTF-16 text at an odd
      // address; a well-formed list never needs one.
      if ((entry.NextOffset & 1) != 0 || entry.NextOffset > length_ - offset) return 0;
      offset += entry.NextOffset;
    }
  }

  // Visits each entry of a validated chain.
  template <class Visit>
  void ForEach(Visit visit) const {
    ULONG offset = kProcessListFirstEntryOffset;
    for (;;) {
      ProcessListEntry entry{};
      Read(offset, &entry);
      const auto* name =
          reinterpret_cast<const char16*>(message_ + offset + kProcessListEntryNameOffset);
      ListEntryView view{
          BorrowString(name, static_cast<USHORT>(entry.NameLength)),
          BorrowString(name + entry.NameLength / sizeof(char16), entry.ExtensionLength)};
      visit(view);
      if (entry.NextOffset == 0) return;
      offset += entry.NextOffset;
    }
  }

 private:
  bool Read(ULONG offset, ProcessListEntry* entry) const {
    if (offset > length_ || length_ - offset < kProcessListEntryNameOffset) return false;
    RtlCopyMemory(entry, message_ + offset, sizeof(ProcessListEntry));
    const ULONG available = length_ - offset - kProcessListEntryNameOffset;
    // Counted strings hold at most 65534 bytes; UTF-16 lengths are even.
    if (entry->NameLength > 65534 || (entry->NameLength & 1) != 0 ||
        (entry->ExtensionLength & 1) != 0) {
      return false;
    }
    return entry->NameLength + static_cast<ULONG>(entry->ExtensionLength) <= available;
  }

  const UCHAR* message_;
  ULONG length_;
};

// The messages name the list entries as they are loaded.
void PrintListEntry(const char* plain, const char* withExtension, const ListEntryView& entry) {
  if (entry.extension.Length != 0) {
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, withExtension, &entry.name, &entry.extension);
  } else {
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, plain, &entry.name);
  }
}

// Moves every record of a staging table into a global one.
template <class Entry>
void MoveRecords(PUNICODE_PREFIX_TABLE from, PUNICODE_PREFIX_TABLE to) {
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(from, TRUE); link != nullptr;
       link = RtlNextUnicodePrefix(from, TRUE)) {
    RtlRemoveUnicodePrefix(from, link);
    Entry* entry = CONTAINING_RECORD(link, Entry, PrefixEntry);
    RtlInsertUnicodePrefix(to, &entry->Name, &entry->PrefixEntry);
  }
}

void RebuildNoListingTable() {
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.BlockedProcessTable, TRUE);
       link != nullptr; link = RtlNextUnicodePrefix(&Globals.BlockedProcessTable, FALSE)) {
    auto* blocked = CONTAINING_RECORD(link, BlockedProcessEntry, PrefixEntry);
    ProcessNameEntry* record = MakeNoListingRecord(blocked->Name);
    if (record != nullptr && !RtlInsertUnicodePrefix(&Globals.NoListingProcessTable, &record->Name,
                                                     &record->PrefixEntry)) {
      FreeStringBuffer(record->Name);
      FreePool(record);
    }
  }
  UNICODE_STRING always = LiteralString(L"SystemPropertiesAdvanced.exe");
  ProcessNameEntry* record = MakeNoListingRecord(always);
  if (record != nullptr && !RtlInsertUnicodePrefix(&Globals.NoListingProcessTable, &record->Name,
                                                   &record->PrefixEntry)) {
    FreeStringBuffer(record->Name);
    FreePool(record);
  }
}

// Builds the new list in a private table first, so that a list the driver
// cannot hold (a 33rd extension for one process) is refused whole.
NTSTATUS LoadBlockList(const UCHAR* message, ULONG length) {
  ProcessListWalk walk(message, length);
  if (walk.Validate() == 0) return STATUS_INVALID_PARAMETER;

  UNICODE_PREFIX_TABLE staging;
  RtlInitializeUnicodePrefix(&staging);
  bool refused = false;
  walk.ForEach([&](const ListEntryView& entry) {
    if (!refused && entry.name.Length != 0 &&
        AddBlockedProcess(&staging, entry.name, entry.extension) == STATUS_INVALID_PARAMETER) {
      refused = true;
    }
  });
  if (refused) {
    EmptyBlockedProcessTable(&staging);
    return STATUS_INVALID_PARAMETER;
  }

  ExclusiveLock lock(Globals.BlockListLock);
  WriteFlag(Globals.AllowListMode, 0);
  EmptyBlockedProcessTable(&Globals.BlockedProcessTable);
  EmptyProcessNameTable(&Globals.NoListingProcessTable);
  walk.ForEach([](const ListEntryView& entry) {
    PrintListEntry("Block Process: %wZ\n", "Block Process: %wZ, and extension %wZ\n", entry);
  });
  MoveRecords<BlockedProcessEntry>(&staging, &Globals.BlockedProcessTable);
  RebuildNoListingTable();
  return STATUS_SUCCESS;
}

NTSTATUS LoadAllowList(const UCHAR* message, ULONG length) {
  ProcessListWalk walk(message, length);
  if (walk.Validate() == 0) return STATUS_INVALID_PARAMETER;

  ExclusiveLock lock(Globals.AllowListLock);
  WriteFlag(Globals.AllowListMode, 1);
  EmptyProcessNameTable(&Globals.AllowedProcessTable);
  walk.ForEach([](const ListEntryView& entry) {
    PrintListEntry("Allow Process: %wZ\n", "Allow Process: %wZ, and extension %wZ\n", entry);
    if (entry.name.Length != 0) (void)AddAllowedProcess(&Globals.AllowedProcessTable, entry.name);
  });
  return STATUS_SUCCESS;
}

// --- populate short names -----------------------------------------------

struct ShortNameRecord {
  UNICODE_STRING Name;
  UNICODE_PREFIX_TABLE_ENTRY PrefixEntry;
  WCHAR Buffer[kShortNameResultBytes / sizeof(WCHAR)];
};

void EmptyShortNameRecords(PUNICODE_PREFIX_TABLE table) {
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(table, TRUE); link != nullptr;
       link = RtlNextUnicodePrefix(table, TRUE)) {
    RtlRemoveUnicodePrefix(table, link);
    FreePool(CONTAINING_RECORD(link, ShortNameRecord, PrefixEntry));
  }
}

// Generates an 8.3 name for `longName` that no earlier name of this command
// got, and appends it with its separator to `output`. STATUS_INVALID_PARAMETER
// when the output would exceed the capacity the client announced.
NTSTATUS AppendUniqueShortName(PUNICODE_PREFIX_TABLE generated, const UNICODE_STRING& longName,
                               PoolBuffer& output, ULONG& used) {
  GENERATE_NAME_CONTEXT context;
  RtlZeroMemory(&context, sizeof(context));
  WCHAR resultBuffer[kShortNameResultBytes / sizeof(WCHAR)];
  UNICODE_STRING result{0, kShortNameResultBytes, resultBuffer};
  // The context yields a new candidate each call, and the table holds no
  // more names than the message has; the bound only guards against a
  // generator that stops producing new names.
  ULONG attempts = 0;
  do {
    if (++attempts > kMaxShortNameAttempts) return STATUS_UNSUCCESSFUL;
    result.Length = 0;
    RtlGenerate8dot3Name(&longName, FALSE, &context, &result);
  } while (FindExact(generated, &result) != nullptr);

  auto* record =
      static_cast<ShortNameRecord*>(AllocateZeroed(NonPagedPool, sizeof(ShortNameRecord)));
  if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(record->Buffer, result.Buffer, result.Length);
  record->Name = UNICODE_STRING{result.Length, kShortNameResultBytes, record->Buffer};
  if (!RtlInsertUnicodePrefix(generated, &record->Name, &record->PrefixEntry)) FreePool(record);

  const ULONG needed = result.Length + sizeof(WCHAR);
  if (needed > output.Size() - used) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(output.Data() + used, result.Buffer, result.Length);
  used += result.Length;
  *reinterpret_cast<WCHAR*>(output.Data() + used) = kShortNameSeparator;
  used += sizeof(WCHAR);
  return STATUS_SUCCESS;
}

NTSTATUS PopulateShortNames(const UCHAR* message, ULONG length, ULONG capacity, PoolBuffer& output,
                            Reply& reply) {
  CommandMessage header;
  RtlCopyMemory(&header, message, sizeof(header));
  if (header.Length > length - kCommandDataOffset) return STATUS_INVALID_PARAMETER;
  const auto* text = reinterpret_cast<const WCHAR*>(message + kCommandDataOffset);

  CriticalRegion region;
  output = PoolBuffer::Allocate(NonPagedPool, capacity);
  if (capacity != 0 && !output) return STATUS_INSUFFICIENT_RESOURCES;

  if (header.Length < 12) {
    // Too short to name anything: the text comes back unchanged.
    if (header.Length > capacity) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(output.Data(), text, header.Length);
    reply.length = header.Length;
    reply.data = output.Data();
    reply.dataBytes = header.Length;
    TAVO_PRINT("Populate shortnames\n");
    return STATUS_SUCCESS;
  }

  PoolBuffer scratch = PoolBuffer::Allocate(NonPagedPool, kShortNameScratchBytes);
  if (!scratch) return STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_PREFIX_TABLE generated;
  RtlInitializeUnicodePrefix(&generated);

  NTSTATUS status = STATUS_SUCCESS;
  ULONG used = 0;
  ULONG nameChars = 0;
  bool nameTooLong = false;
  auto* name = scratch.As<WCHAR>();
  const ULONG maxNameChars = kShortNameScratchBytes / sizeof(WCHAR) - 1;  // room for the NUL
  for (ULONG i = 0; i < header.Length / sizeof(WCHAR); ++i) {
    if (text[i] != kShortNameSeparator) {
      // Characters after the last separator are not used, so a fragment too
      // long for the scratch buffer is refused only once a separator ends it.
      if (nameChars == maxNameChars) {
        nameTooLong = true;
      } else {
        name[nameChars++] = text[i];
      }
      continue;
    }
    if (nameTooLong) {
      status = STATUS_INVALID_PARAMETER;  // a long name the scratch buffer cannot hold
      break;
    }
    UNICODE_STRING longName = BorrowString(name, static_cast<USHORT>(nameChars * sizeof(WCHAR)));
    status = AppendUniqueShortName(&generated, longName, output, used);
    if (!NT_SUCCESS(status)) break;
    RtlZeroMemory(name, kShortNameScratchBytes);
    nameChars = 0;
  }
  EmptyShortNameRecords(&generated);
  if (!NT_SUCCESS(status)) return status;

  reply.length = used;
  reply.data = output.Data();
  reply.dataBytes = used;
  reply.reportedDataBytes = used;
  TAVO_PRINT("Populate shortnames\n");
  return STATUS_SUCCESS;
}

// Writes the reply's header and Data to the client's output buffer.
NTSTATUS WriteReply(PVOID OutputBuffer, const Reply& reply) {
  const CommandReply out{reply.status, reply.length};
  NTSTATUS status = CopyToUser(OutputBuffer, &out, sizeof(out));
  if (NT_SUCCESS(status) && reply.dataBytes != 0) {
    status = CopyToUser(static_cast<UCHAR*>(OutputBuffer) + kCommandReplyDataOffset, reply.data,
                        reply.dataBytes);
  }
  return status;
}

// Populate short names changes nothing in the driver: its reply is written
// once the names are made.
NTSTATUS PopulateShortNamesCommand(const UCHAR* message, ULONG length, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, PULONG ReturnOutputBufferLength) {
  CommandReply announced;
  NTSTATUS status = CopyFromUser(&announced, OutputBuffer, sizeof(announced));
  if (!NT_SUCCESS(status)) return status;
  // The announced capacity must fit the output buffer after the header.
  if (announced.Length > ReplyDataCapacity(OutputBufferLength)) return STATUS_INVALID_PARAMETER;
  Reply reply;
  PoolBuffer output;
  status = PopulateShortNames(message, length, announced.Length, output, reply);
  if (NT_SUCCESS(status)) status = WriteReply(OutputBuffer, reply);
  if (!NT_SUCCESS(status)) return status;
  *ReturnOutputBufferLength = ReportedReplyLength(reply.reportedDataBytes, OutputBufferLength);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ResponsePortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                             PVOID OutputBuffer, ULONG OutputBufferLength,
                             PULONG ReturnOutputBufferLength) {
  UNREFERENCED_PARAMETER(PortCookie);
  if (InputBuffer == nullptr || OutputBuffer == nullptr || InputBufferLength < kCommandDataOffset ||
      OutputBufferLength < kCommandReplyHeaderSize || ReturnOutputBufferLength == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  CommandMessage header;
  NTSTATUS status = CopyFromUser(&header, InputBuffer, sizeof(header));
  if (!NT_SUCCESS(status)) return status;
  const bool isCommand = header.Code == kCommandConfigure || header.Code == kCommandNoOperation ||
                         header.Code == kCommandBlockList || header.Code == kCommandAllowList ||
                         header.Code == kCommandPopulateShortNames;
  if (!isCommand && header.Length > InputBufferLength - kCommandDataOffset)
    return STATUS_INVALID_PARAMETER;

  // A command's message is captured once; everything below reads the copy.
  PoolBuffer message;
  if (isCommand) {
    message = PoolBuffer::Allocate(NonPagedPool, InputBufferLength);
    if (!message) return STATUS_INSUFFICIENT_RESOURCES;
    status = CopyFromUser(message.Data(), InputBuffer, InputBufferLength);
    if (!NT_SUCCESS(status)) return status;
  }
  if (header.Code == kCommandPopulateShortNames) {
    return PopulateShortNamesCommand(message.Data(), InputBufferLength, OutputBuffer,
                                     OutputBufferLength, ReturnOutputBufferLength);
  }

  // Every other message gets the fixed reply. It is written before anything
  // changes, so that a client whose buffers are gone gets a failure and its
  // message has no effect.
  status = WriteReply(OutputBuffer, Reply{});
  if (!NT_SUCCESS(status)) return status;
  switch (header.Code) {
    case kCommandConfigure:
      status = Configure(message.Data(), InputBufferLength);
      break;
    case kCommandBlockList:
      status = LoadBlockList(message.Data(), InputBufferLength);
      break;
    case kCommandAllowList:
      status = LoadAllowList(message.Data(), InputBufferLength);
      break;
    case kCommandNoOperation:
      break;
    default:
      // An answer: its data is copied once, straight into the waiting
      // request's buffer, so delivering it needs no allocation.
      status = DeliverAnswer(header, static_cast<const UCHAR*>(InputBuffer) + kCommandDataOffset,
                             header.Length);
      break;
  }
  if (!NT_SUCCESS(status)) return status;
  *ReturnOutputBufferLength = ReportedReplyLength(0, OutputBufferLength);
  return STATUS_SUCCESS;
}

}  // namespace tavo
