// The set-information path: dispositions and renames of the merged view's
// items and of the local copies under BackendRoot. One file per area:
//   dispatch.cpp        the pre-operation: which case a request is
//   rename_target.cpp   the caller's rename buffer and the target it names
//   delete.cpp          dispositions of virtual items and tracked streams
//   post_setinfo.cpp    the post-operation and the rename notification
//   rename_local.cpp    renames of real files, redirected into BackendRoot
//   rename_virtual.cpp  renames of server items
//   setinfo_requests.cpp the requests to the client these send
//   replaced_item.cpp   the server item a replacing rename takes the place of
//   rename_reservation.cpp the names a rename of a server item holds meanwhile
#pragma once

#include <fltKernel.h>

#include "../create/contexts.h"
#include "../create/path_classification.h"
#include "../support/completion.h"
#include "../support/counted_string.h"
#include "../support/pool.h"

namespace tavo {

struct OpenHandleEntry;
struct OpenerRecord;

// ---- rename_target.cpp

// The caller's FILE_RENAME_INFORMATION, checked: FileName lies inside the
// buffer, is not empty and is whole characters.
struct RenameBuffer {
  FILE_RENAME_INFORMATION* Info;
  UNICODE_STRING Name;  // borrows Info->FileName
  bool Replace;         // ReplaceIfExists, or FILE_RENAME_REPLACE_IF_EXISTS of Flags
  WCHAR DriveLetter;    // of a "\??\X:\..." name; 0 for other forms
};

// Checks the buffer; nothing in it is changed. STATUS_INVALID_PARAMETER
// for a buffer that does not hold its name.
NTSTATUS CaptureRenameBuffer(PFLT_CALLBACK_DATA data, RenameBuffer* rename);

// For a rename the driver handles: the Ex class keeps only
// FILE_RENAME_REPLACE_IF_EXISTS of its low byte, in place, so that what the
// file system finally sees follows the driver's own decisions.
void NormaliseRenameFlags(PFLT_CALLBACK_DATA data, const RenameBuffer& rename);

// The full device path the rename names as its target. `sourcePath` (the
// full path of the file being renamed) places a bare new name in the
// source's folder. STATUS_INVALID_PARAMETER for names the view cannot take
// (embedded NUL, "." or ".." components, a form not understood, a relative
// name without its parent), STATUS_NAME_TOO_LONG past a counted string.
NTSTATUS BuildRenameTargetPath(PFLT_CALLBACK_DATA data, const RenameBuffer& rename,
                               PCUNICODE_STRING sourcePath, OwnedString* target);

// Whether the name is a single plain component without RootDirectory (a
// rename within the file's own folder).
bool IsPlainLeafName(const RenameBuffer& rename);

// For a target in the view: the secondary root rewritten to the merged view
// and short names expanded.
NTSTATUS ResolveViewTarget(PFLT_CALLBACK_DATA data, OwnedString* target);

// Whether the path names a stream (a ':' after the volume device name).
bool NamesStream(const UNICODE_STRING& path);

// ---- delete.cpp

// Reduces the disposition buffer to a delete flag in its first byte.
PUCHAR NormalizeDispositionInfo(PFLT_CALLBACK_DATA data);
NTSTATUS RefreshStreamContextName(PCFLT_RELATED_OBJECTS objects, StreamContext* context);
FLT_PREOP_CALLBACK_STATUS SetVirtualDisposition(PFLT_CALLBACK_DATA data,
                                                PCFLT_RELATED_OBJECTS objects,
                                                StreamHandleContext* handle);

// ---- post_setinfo.cpp

// Prints and sends one rename notification.
void NotifyRename(PCUNICODE_STRING oldName, PCUNICODE_STRING newName);

// ---- rename_local.cpp

FLT_PREOP_CALLBACK_STATUS RenameLocalFile(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                          PVOID* completionContext);

// ---- rename_virtual.cpp

FLT_PREOP_CALLBACK_STATUS RenameVirtualItem(PFLT_CALLBACK_DATA data,
                                            PCFLT_RELATED_OBJECTS objects,
                                            StreamHandleContext* handle);
// Whether the handle's item was moved out of the view.
bool IsMovedOutOfView(const StreamHandleContext* handle);
// Any class of set-information on a handle whose item was moved out of the
// view: made on the moved file.
FLT_PREOP_CALLBACK_STATUS SetMovedItemInformation(PFLT_CALLBACK_DATA data,
                                                  PCFLT_RELATED_OBJECTS objects,
                                                  StreamHandleContext* handle);

// ---- setinfo_requests.cpp

// The folder's emptiness check: the one-byte answer (0 when none came) and
// the send status.
NTSTATUS RequestDeleteCheck(PFLT_CALLBACK_DATA data, PCUNICODE_STRING folder, UCHAR* answer);
// A rename on the server; *answer is 2 unless a whole 4-byte answer came.
NTSTATUS RequestServerRename(PFLT_CALLBACK_DATA data, PCUNICODE_STRING oldName,
                             PCUNICODE_STRING newName, bool localFolder, ULONG* answer);

// ---- replaced_item.cpp

// The server item at a replacing rename's target, set aside on the server
// until the rename has taken its name. Unless discarded, it gets its name
// back when the holder goes (the callback data must still be in flight).
class [[nodiscard]] ReplacedServerItem {
 public:
  ReplacedServerItem() = default;
  ReplacedServerItem(const ReplacedServerItem&) = delete;
  ReplacedServerItem& operator=(ReplacedServerItem&& other) noexcept;
  ReplacedServerItem& operator=(const ReplacedServerItem&) = delete;
  ~ReplacedServerItem() { Restore(); }
  // `itemInfo` is the item's ItemInfoReply. STATUS_ACCESS_DENIED for a
  // folder, an item that is open, when no free aside name is found or the
  // client does not move the item; nothing to undo then.
  NTSTATUS SetAside(PFLT_CALLBACK_DATA data, PFLT_INSTANCE instance, const UNICODE_STRING& target,
                    const PoolBuffer& itemInfo);
  // The rename took the name: the item set aside is deleted, with its local copy.
  void Discard();

 private:
  void Restore();

  PFLT_CALLBACK_DATA data_ = nullptr;
  PFLT_INSTANCE instance_ = nullptr;
  OwnedString target_;
  OwnedString aside_;
};

// Whether the final component of `path` has the form of an aside name
// ("<name>.tavo-replaced", or with "-1" to "-9"), in any case.
bool IsAsideName(const UNICODE_STRING& path);

}  // namespace tavo
