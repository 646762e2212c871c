// Registration of virtual opens on their OpenHandleEntry.
#include "virtual_open.h"

#include "../core/globals.h"
#include "../support/locks.h"

namespace tavo {

NTSTATUS RegisterVirtualOpen(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                             const UCHAR* itemInfoReply, BOOLEAN deleteOnClose,
                             StreamHandleContext* context) {
  OpenHandleEntry* entry = nullptr;
  UCHAR created = 0;
  NTSTATUS status = FindOrAddOpenHandleEntry(data, path, &entry, &created, 1);
  if (!NT_SUCCESS(status)) return status;
  OpenerRecord* opener = MakeOpenerRecord(data);
  {
    ExclusiveLock lock(entry->EntryLock);
    // The open just counted keeps the entry alive until it is closed (or
    // uncounted below), so no lock needs to be held across the two steps.
    FillOpenHandleEntry(entry, itemInfoReply);
    if (opener != nullptr) {
      if (deleteOnClose) entry->DeleteOnClose = 1;
      LinkOpener(entry, opener);
    }
  }
  PFILE_OBJECT fileObject = data->Iopb->TargetFileObject;
  fileObject->FsContext = entry;
  fileObject->FsContext2 = opener;
  context->Entry = entry;
  context->Opener = opener;
  if (opener == nullptr) {
    InterlockedDecrement(&entry->ReferenceCount);
    ReleaseVirtualOpen(fileObject, context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void ReleaseVirtualOpen(PFILE_OBJECT fileObject, StreamHandleContext* context) {
  OpenHandleEntry* entry = context->Entry;
  if (entry == nullptr) return;
  // No cleanup will come for this open either.
  if (context->Opener != nullptr) InterlockedDecrement(&entry->ReferenceCount);
  if (fileObject->SectionObjectPointer == &entry->SectionObjectPointers) {
    fileObject->SectionObjectPointer = nullptr;
  }
  CloseOpenOf(context, [](OpenHandleEntry*) {});
  context->Entry = nullptr;
  fileObject->FsContext = nullptr;
  fileObject->FsContext2 = nullptr;
}

}  // namespace tavo
