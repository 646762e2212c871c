#include "listing_pages.h"

#include "../core/globals.h"
#include "../support/locks.h"

namespace tavo {
namespace {

// FILE_INFORMATION_CLASS values and their documented entry layouts.
constexpr ULONG kDirectoryInformation = 1;
constexpr ULONG kFullDirectoryInformation = 2;
constexpr ULONG kBothDirectoryInformation = 3;
constexpr ULONG kNamesInformation = 12;
constexpr ULONG kIdBothDirectoryInformation = 37;
constexpr ULONG kIdFullDirectoryInformation = 38;
constexpr ULONG kFileNameLengthOffset = 60;       // every class but the names class
constexpr ULONG kNamesFileNameLengthOffset = 8;  // FILE_NAMES_INFORMATION
// More than the largest entry of any class takes with its alignment: a
// 104-byte header, a name of 255 UTF-16 units, 7 bytes of padding.
constexpr ULONG kRoomForAnyEntry = 1024;

ULONG ReadU32(const UCHAR* at) {
  ULONG value = 0;
  RtlCopyMemory(&value, at, sizeof(value));
  return value;
}

ULONG FileNameLengthOffset(ULONG infoClass) {
  return infoClass == kNamesInformation ? kNamesFileNameLengthOffset : kFileNameLengthOffset;
}

// Header and name of the well-formed entry at `offset`.
ULONG EntryBytes(const ListingPage& page, ULONG offset) {
  return ListingEntryHeaderBytes(page.InfoClass) +
         ReadU32(page.Entries.Data() + offset + FileNameLengthOffset(page.InfoClass));
}

}  // namespace

ULONG ListingEntryHeaderBytes(ULONG infoClass) {
  switch (infoClass) {
    case kDirectoryInformation:
      return 64;
    case kFullDirectoryInformation:
      return 68;
    case kBothDirectoryInformation:
      return 94;
    case kNamesInformation:
      return 12;
    case kIdBothDirectoryInformation:
      return 104;
    case kIdFullDirectoryInformation:
      return 80;
    default:
      return 0;
  }
}

bool FetchAnotherListingPage(const ListingPage* spent) {
  return spent == nullptr || spent->Length + kRoomForAnyEntry > spent->Entries.Size();
}

bool ListingPageIsWellFormed(const ListingPage& page) {
  const ULONG header = ListingEntryHeaderBytes(page.InfoClass);
  if (header == 0 || page.Length == 0 || page.Length > page.Entries.Size()) return false;
  const ULONG nameLengthAt = FileNameLengthOffset(page.InfoClass);
  ULONG offset = 0;
  for (;;) {
    if (page.Length - offset < header) return false;
    const ULONGLONG bytes =
        static_cast<ULONGLONG>(header) + ReadU32(page.Entries.Data() + offset + nameLengthAt);
    const ULONG next = ReadU32(page.Entries.Data() + offset);
    if (next == 0) return bytes <= page.Length - offset;
    // Each link passes at least a header, so the walk ends.
    if (next % 8 != 0 || bytes > next || next >= page.Length - offset) return false;
    offset += next;
  }
}

NTSTATUS ServeFromListingPage(ListingPage* page, UCHAR* buffer, ULONG length, bool singleEntry,
                              ULONG* bytes, ULONG* entries) {
  const UCHAR* data = page->Entries.Data();
  const ULONG first = page->Next;
  ULONG last = first;
  ULONG end = first;
  ULONG count = 0;
  for (ULONG offset = first;;) {
    const ULONG entryEnd = offset + EntryBytes(*page, offset);
    if (entryEnd - first > length) break;
    last = offset;
    end = entryEnd;
    ++count;
    const ULONG next = ReadU32(data + offset);
    if (next == 0 || singleEntry) break;
    offset += next;
  }

  NTSTATUS status = STATUS_SUCCESS;
  if (count == 0) {
    // Not even the next entry fits: its header and the part of its name
    // there is room for; it is handed out all the same.
    end = first + ListingEntryHeaderBytes(page->InfoClass) +
          ((length - ListingEntryHeaderBytes(page->InfoClass)) & ~1u);
    count = 1;
    status = STATUS_BUFFER_OVERFLOW;
  }
  const ULONG served = end - first;
  RtlCopyMemory(buffer, data + first, served);
  RtlZeroMemory(buffer + (last - first), sizeof(ULONG));  // the caller's last entry
  RtlZeroMemory(buffer + served, length - served);
  const ULONG link = ReadU32(data + last);
  page->Next = link != 0 ? last + link : page->Length;
  page->NextIndex += count;
  *bytes = served;
  *entries = count;
  return status;
}

PoolPtr<ListingPage> TakeListingPage(const void* owner) {
  ListingPage* page = nullptr;
  SpinLock guard(Globals.ListingPageLock);
  for (ListingPageSlot& slot : Globals.ListingPages) {
    if (slot.Owner != owner) continue;
    page = static_cast<ListingPage*>(slot.Page);
    slot = ListingPageSlot{};
    break;
  }
  return PoolPtr<ListingPage>(page);
}

void KeepListingPage(const void* owner, PoolPtr<ListingPage> page) {
  PoolPtr<ListingPage> dropped;  // freed once the lock is gone
  SpinLock guard(Globals.ListingPageLock);
  ListingPageSlot* oldest = &Globals.ListingPages[0];
  for (ListingPageSlot& slot : Globals.ListingPages) {
    if (slot.Owner == nullptr) {
      oldest = &slot;
      break;
    }
    if (slot.LastKept < oldest->LastKept) oldest = &slot;
  }
  dropped.Reset(static_cast<ListingPage*>(oldest->Page));
  oldest->Owner = owner;
  oldest->Page = page.Release();
  oldest->LastKept = ++Globals.ListingPageClock;
}

void DropListingPage(const void* owner) {
  PoolPtr<ListingPage> page = TakeListingPage(owner);
}

void EmptyListingPages() {
  for (ListingPageSlot& slot : Globals.ListingPages) {
    PoolPtr<ListingPage> page(static_cast<ListingPage*>(slot.Page));
    slot = ListingPageSlot{};
  }
}

}  // namespace tavo
