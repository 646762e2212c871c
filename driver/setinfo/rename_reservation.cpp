// Names held by renames of server items in flight. The reservations live
// in the renaming threads' frames and are linked into one list under
// OpenHandleTableLock. An open that meets a reservation queues a waiter of
// its own (an event in its frame) on that reservation, under the same
// lock, and waits for it: the rename signals its waiters when it releases
// the reservation, so an open cannot miss the end of the rename it met nor
// wait for renames of other names.
#include "rename_reservation.h"

#include "../core/globals.h"
#include "../create/open_handle_table.h"
#include "../support/locks.h"

namespace tavo {
namespace {

// Whether `path` is `folder` or lies below it, in any case.
bool IsAtOrBelow(const UNICODE_STRING& path, const UNICODE_STRING& folder, bool atToo) {
  if (path.Length < folder.Length) return false;
  if (path.Length == folder.Length) return atToo && RtlEqualUnicodeString(&path, &folder, TRUE);
  if (path.Buffer[folder.Length / sizeof(WCHAR)] != L'\\') return false;
  UNICODE_STRING head = BorrowString(path.Buffer, folder.Length);
  return RtlEqualUnicodeString(&head, &folder, TRUE);
}

bool Conflicts(const RenameReservation& reservation, const UNICODE_STRING& path) {
  return IsAtOrBelow(path, reservation.Target, true) ||
         (reservation.IsDirectory && IsAtOrBelow(path, reservation.Source, false));
}

// Whether a rename in flight moves an item into the folder `folder` or
// out of it: the folder's own rename would leave that item's entry
// naming the folder's old place.
bool ReservedBelowLocked(const UNICODE_STRING& folder) {
  for (PLIST_ENTRY link = Globals.RenamesInFlight.Flink; link != &Globals.RenamesInFlight;
       link = link->Flink) {
    const RenameReservation& other = *CONTAINING_RECORD(link, RenameReservation, Links);
    if (IsAtOrBelow(other.Target, folder, false) || IsAtOrBelow(other.Source, folder, false)) {
      return true;
    }
  }
  return false;
}

// The reservation in flight that holds `path`, or null.
RenameReservation* FindHolderLocked(const UNICODE_STRING& path) {
  for (PLIST_ENTRY link = Globals.RenamesInFlight.Flink; link != &Globals.RenamesInFlight;
       link = link->Flink) {
    auto* reservation = CONTAINING_RECORD(link, RenameReservation, Links);
    if (Conflicts(*reservation, path)) return reservation;
  }
  return nullptr;
}

}  // namespace

void InitializeRenameReservations() { InitializeListHead(&Globals.RenamesInFlight); }

bool IsReservedByRenameLocked(PCUNICODE_STRING path) { return FindHolderLocked(*path) != nullptr; }

bool QueueIfReservedLocked(PCUNICODE_STRING path, RenameWaiter* waiter) {
  RenameReservation* holder = FindHolderLocked(*path);
  if (holder == nullptr) return false;
  KeInitializeEvent(&waiter->Ended, NotificationEvent, FALSE);
  InsertTailList(&holder->Waiters, &waiter->Links);
  return true;
}

NTSTATUS RenameReservation::Reserve(const OpenHandleEntry* entry, const UNICODE_STRING& source,
                                    const UNICODE_STRING& target, bool isDirectory) {
  ExclusiveLock table(Globals.OpenHandleTableLock);
  const OpenHandleEntry* atTarget = FindExactEntryLocked(&target);
  if ((atTarget != nullptr && atTarget != entry) || IsReservedByRenameLocked(&target) ||
      (isDirectory && (PathHasEntryBelowLocked(&source) || ReservedBelowLocked(source)))) {
    return STATUS_ACCESS_DENIED;
  }
  Source = source;
  Target = target;
  IsDirectory = isDirectory;
  InitializeListHead(&Waiters);
  InsertTailList(&Globals.RenamesInFlight, &Links);
  held_ = true;
  return STATUS_SUCCESS;
}

void RenameReservation::Release() {
  if (!held_) return;
  ExclusiveLock table(Globals.OpenHandleTableLock);
  RemoveEntryList(&Links);
  // A waiter's event is in its own frame: it is signalled last, once its
  // links are off the list (the waiter may return as soon as it is set).
  while (!IsListEmpty(&Waiters)) {
    RenameWaiter* waiter = CONTAINING_RECORD(RemoveHeadList(&Waiters), RenameWaiter, Links);
    (void)KeSetEvent(&waiter->Ended, IO_NO_INCREMENT, FALSE);
  }
  held_ = false;
}

void WaitForRename(RenameWaiter* waiter) {
  (void)KeWaitForSingleObject(&waiter->Ended, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace tavo
