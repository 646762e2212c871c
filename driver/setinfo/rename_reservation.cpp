// Names held by renames of server items in flight. The reservations live
// in the renaming threads' frames and are linked into one list under
// OpenHandleTableLock. A waiting open waits on one notification event that
// is set whenever the list is empty: it is reset, under the same lock, only
// when the first reservation goes in, so an open that saw a reservation
// cannot miss the end of it. (It may also wait for later renames that
// began meanwhile; renames are short, and none of them waits for an open.)
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

}  // namespace

void InitializeRenameReservations() {
  InitializeListHead(&Globals.RenamesInFlight);
  KeInitializeEvent(&Globals.NoRenameInFlight, NotificationEvent, TRUE);
}

bool IsReservedByRenameLocked(PCUNICODE_STRING path) {
  for (PLIST_ENTRY link = Globals.RenamesInFlight.Flink; link != &Globals.RenamesInFlight;
       link = link->Flink) {
    if (Conflicts(*CONTAINING_RECORD(link, RenameReservation, Links), *path)) return true;
  }
  return false;
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
  if (IsListEmpty(&Globals.RenamesInFlight)) KeResetEvent(&Globals.NoRenameInFlight);
  InsertTailList(&Globals.RenamesInFlight, &Links);
  held_ = true;
  return STATUS_SUCCESS;
}

void RenameReservation::Release() {
  if (!held_) return;
  ExclusiveLock table(Globals.OpenHandleTableLock);
  RemoveEntryList(&Links);
  if (IsListEmpty(&Globals.RenamesInFlight)) {
    (void)KeSetEvent(&Globals.NoRenameInFlight, IO_NO_INCREMENT, FALSE);
  }
  held_ = false;
}

void WaitForRenamesInFlight() {
  (void)KeWaitForSingleObject(&Globals.NoRenameInFlight, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace tavo
