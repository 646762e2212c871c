// Driver-wide configuration and state: the configured roots, the filter and
// port handles, the flags, the worker events, and the tables with their locks.
// One plain aggregate, zeroed and set up by DriverEntry, torn down by unload.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Bytes of each configured root's buffer (and of its configuration field).
inline constexpr USHORT kRootBufferBytes = 570;
// VolumePrefixLength before the first configuration command.
inline constexpr USHORT kDefaultVolumePrefixLength = 26;
// Listing pages kept at once for handles in mid-enumeration (dirctl/listing_pages.h).
inline constexpr ULONG kKeptListingPages = 16;

struct ListingPageSlot {
  const void* Owner;  // the handle's StreamHandleContext; null: the slot is free
  void* Page;         // its ListingPage
  ULONGLONG LastKept;
};

struct DriverGlobals {
  // Configured roots, guarded by RootPathLock.
  UNICODE_STRING MergedViewRoot;
  UNICODE_STRING BackendRoot;
  UNICODE_STRING SecondaryViewRoot;
  USHORT VolumePrefixLength;  // characters of the volume device name in MergedViewRoot
  // The three roots' lengths and their volume prefix's, packed in one word
  // that the create screen reads without RootPathLock; written under it
  // (create/create_screen.h).
  volatile LONG64 RootLengths;
  ULONG ConfiguredSessionId;
  ULONG ClientSessionId;
  PFLT_VOLUME AttachedVolume;

  // Filter and ports.
  PFLT_FILTER FilterHandle;
  PFLT_PORT RequestServerPort;
  PFLT_PORT FileChangeServerPort;
  PFLT_PORT InstallerServerPort;
  PFLT_PORT ResponseServerPort;
  PFLT_PORT RequestClientPort;
  PFLT_PORT FileChangeClientPort;
  PFLT_PORT InstallerClientPort;
  PFLT_PORT ResponseClientPort;

  // Flags (0 or 1), written by single writers and read without a lock,
  // always through ReadFlag and WriteFlag.
  volatile LONG ListSubRootLevelFlag;
  volatile LONG AllowListMode;
  volatile LONG WorkerStopFlag;

  // The worker thread's events; WorkerStarted says whether unload must wait.
  KEVENT WorkerWakeEvent;
  KEVENT WorkerExitEvent;
  BOOLEAN WorkerStarted;
  PVOID WorkerThreadObject;  // the worker's thread, referenced while it may run

  // Tables (Unicode prefix tables) and their locks.
  UNICODE_PREFIX_TABLE OpenHandleTable;
  UNICODE_PREFIX_TABLE BlockedProcessTable;
  UNICODE_PREFIX_TABLE NoListingProcessTable;
  UNICODE_PREFIX_TABLE AllowedProcessTable;
  UNICODE_PREFIX_TABLE ItemInfoCache;
  UNICODE_PREFIX_TABLE ShortNameTable;

  // Set under OpenHandleTableLock when unload goes on: no new virtual open
  // may register after unload has found the table empty.
  BOOLEAN Unloading;
  // Renames of server items in flight (RenameReservation.Links), under
  // OpenHandleTableLock.
  LIST_ENTRY RenamesInFlight;

  ERESOURCE OpenHandleTableLock;
  ERESOURCE RootPathLock;
  ERESOURCE BlockListLock;
  ERESOURCE AllowListLock;
  ERESOURCE StreamContextLock;
  ERESOURCE ShortNameTableLock;
  ERESOURCE ItemInfoCacheLock;
  BOOLEAN LocksInitialized;

  // Requests waiting for the client's answer.
  LIST_ENTRY PendingRequestList;
  KSPIN_LOCK PendingRequestListLock;
  // Where the answer handler's next look-up starts: the entry after the
  // last record it found (answers mostly come in the order the requests
  // went out). Guarded by PendingRequestListLock; never a removed entry.
  LIST_ENTRY* NextAnswerHint;
  KMUTEX ReplyMutex;

  // Listing pages; the spin lock guards the slots only, never a page.
  ListingPageSlot ListingPages[kKeptListingPages];
  ULONGLONG ListingPageClock;
  KSPIN_LOCK ListingPageLock;
};

extern DriverGlobals Globals;

// The flags are read on other threads without a lock: interlocked accesses
// make each write visible whole and in order.
inline void WriteFlag(volatile LONG& flag, LONG value) {
  InterlockedExchange(&flag, value);
}
inline LONG ReadFlag(volatile LONG& flag) {
  return InterlockedCompareExchange(&flag, 0, 0);
}

// Exact lookup in a prefix table: the longest-prefix match counts only when
// its key is the whole name.
PUNICODE_PREFIX_TABLE_ENTRY FindExact(PUNICODE_PREFIX_TABLE table, PUNICODE_STRING name);

// Deletes the executive resources, in the order unload deletes them.
void DeleteLocks();

// AttachedVolume holds the reference FltGetVolumeFromName took for as long
// as it keeps the pointer. Keeping a new volume drops the reference of the
// one it replaces; releasing detaches the kept volume and drops its
// reference.
void KeepAttachedVolume(PFLT_VOLUME volume);
void ReleaseAttachedVolume();

}  // namespace tavo
