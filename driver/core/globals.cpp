// The driver's single set of globals and the helpers every table shares.
#include "globals.h"

namespace tavo {

DriverGlobals Globals;

PUNICODE_PREFIX_TABLE_ENTRY FindExact(PUNICODE_PREFIX_TABLE table, PUNICODE_STRING name) {
  PUNICODE_PREFIX_TABLE_ENTRY entry = RtlFindUnicodePrefix(table, name, 0);
  if (entry == nullptr || entry->Prefix->Length != name->Length) return nullptr;
  return entry;
}

void DeleteLocks() {
  if (!Globals.LocksInitialized) return;
  ExDeleteResourceLite(&Globals.RootPathLock);
  ExDeleteResourceLite(&Globals.BlockListLock);
  ExDeleteResourceLite(&Globals.AllowListLock);
  ExDeleteResourceLite(&Globals.ShortNameTableLock);
  ExDeleteResourceLite(&Globals.ItemInfoCacheLock);
  ExDeleteResourceLite(&Globals.StreamContextLock);
  ExDeleteResourceLite(&Globals.OpenHandleTableLock);
  Globals.LocksInitialized = FALSE;
}

void KeepAttachedVolume(PFLT_VOLUME volume) {
  auto* previous = static_cast<PFLT_VOLUME>(
      InterlockedExchangePointer(reinterpret_cast<PVOID*>(&Globals.AttachedVolume), volume));
  if (previous != nullptr) FltObjectDereference(previous);
}

void ReleaseAttachedVolume() {
  auto* volume = static_cast<PFLT_VOLUME>(
      InterlockedExchangePointer(reinterpret_cast<PVOID*>(&Globals.AttachedVolume), nullptr));
  if (volume == nullptr) return;
  (void)FltDetachVolume(Globals.FilterHandle, volume, nullptr);
  FltObjectDereference(volume);
}

}  // namespace tavo
