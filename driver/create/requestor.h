// Who is behind a request: the image name of the requesting process, and for
// every open of a server-only item a record of the requestor and the
// create's parameters.
#pragma once

#include <fltKernel.h>

#include "../support/counted_string.h"

namespace tavo {

// One open of a virtual item (non-paged, zeroed), linked into its
// OpenHandleEntry's Openers.
struct OpenerRecord {
  ULONG ProcessId;
  ULONG SessionId;
  HANDLE ProcessHandleId;  // FltGetRequestorProcessIdEx: names the process in reports
  PFILE_OBJECT FileObject;
  LIST_ENTRY Links;
  ULONG DesiredAccess;
  ULONG CreateOptions;  // low 24 bits of Parameters.Create.Options
  ULONG CreateDisposition;
  ULONG ShareAccess;
  ULONG FileAttributes;
};

// The last component of the process's image path (for example
// "explorer.exe"), unterminated, in a new non-paged buffer of exactly its
// length. Returns the status of the last system call made; *name is set
// only when a name was found.
NTSTATUS GetProcessImageName(OwnedString* name, HANDLE processId);

// A new record of the create in `data`, or null when pool is short.
OpenerRecord* MakeOpenerRecord(PFLT_CALLBACK_DATA data);
void FreeOpenerRecord(OpenerRecord* record);

// The create disposition and options packed in Parameters.Create.Options.
inline ULONG CreateDispositionOf(PFLT_CALLBACK_DATA data) {
  return (data->Iopb->Parameters.Create.Options >> 24) & 0xFF;
}
inline ULONG CreateOptionsOf(PFLT_CALLBACK_DATA data) {
  return data->Iopb->Parameters.Create.Options & 0x00FFFFFF;
}

// The requesting session of an operation; 0 when there is none.
ULONG RequestorSessionId(PFLT_CALLBACK_DATA data);

}  // namespace tavo
