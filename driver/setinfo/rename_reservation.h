// Names held by renames of server items in flight. Between the question to
// the client and the entry taking its new name, the server already has the
// item under the new name while OpenHandleTable still keys it by the old
// one: an open of the new name (or of an item below it) meanwhile would
// make a second entry for the item. The rename reserves those names before
// it asks; an open that registers one of them waits for the renames in
// flight to end and then asks again (it then finds the renamed entry, or
// that the rename did not happen).
#pragma once

#include <fltKernel.h>

namespace tavo {

struct OpenHandleEntry;

class [[nodiscard]] RenameReservation {
 public:
  RenameReservation() = default;
  RenameReservation(const RenameReservation&) = delete;
  RenameReservation& operator=(const RenameReservation&) = delete;
  ~RenameReservation() { Release(); }

  // Reserves `target` and what lies below it, and for a folder what lies
  // below its old path `source`, for the rename of `entry`. Both strings
  // are borrowed and must outlive the reservation. STATUS_ACCESS_DENIED,
  // with nothing reserved, when an entry other than `entry` holds `target`,
  // an entry lies below the folder or a rename in flight moves an item into
  // or out of it, or another rename in flight holds the name already.
  NTSTATUS Reserve(const OpenHandleEntry* entry, const UNICODE_STRING& source,
                   const UNICODE_STRING& target, bool isDirectory);
  void Release();

  LIST_ENTRY Links;    // in Globals.RenamesInFlight, under OpenHandleTableLock
  LIST_ENTRY Waiters;  // RenameWaiter.Links of opens waiting, under the same lock
  UNICODE_STRING Source{};
  UNICODE_STRING Target{};
  bool IsDirectory = false;

 private:
  bool held_ = false;
};

// An open waiting for the rename that holds its name.
struct RenameWaiter {
  LIST_ENTRY Links;
  KEVENT Ended;
};

// Whether an open of `path` must wait for a rename in flight. The caller
// holds OpenHandleTableLock.
bool IsReservedByRenameLocked(PCUNICODE_STRING path);
// The same, queueing `waiter` on the rename that holds `path` when one
// does. The caller holds OpenHandleTableLock, drops it, then calls
// WaitForRename.
bool QueueIfReservedLocked(PCUNICODE_STRING path, RenameWaiter* waiter);
// Waits until the rename `waiter` is queued on has ended. No lock may be held.
void WaitForRename(RenameWaiter* waiter);

// Sets up the list of renames in flight (driver start).
void InitializeRenameReservations();

}  // namespace tavo
