// The target-directory open of a rename or link.
//
// Documented behaviour modelled here: for FileRenameInformation,
// FileLinkInformation (and their Ex classes) the I/O manager opens the
// parent directory of the target name, to make sure the caller may create
// a child there, before it sends IRP_MJ_SET_INFORMATION; the file system
// receives that file object in IrpSp->Parameters.SetFile.FileObject
// (ParentOfTarget for minifilters), which is set when FileName is a fully
// qualified name or RootDirectory is non-NULL, and NULL otherwise (a simple
// name: the file is renamed within its own directory). The open is an
// IRP_MJ_CREATE with SL_OPEN_TARGET_DIRECTORY, relative to RootDirectory
// when one is given, asking FILE_WRITE_DATA (FILE_ADD_FILE) | SYNCHRONIZE,
// or FILE_ADD_SUBDIRECTORY | SYNCHRONIZE for a directory; it goes through
// the whole filter stack. A rename never leaves its volume: a target on
// another volume is STATUS_NOT_SAME_DEVICE. FltSetInformationFile does not
// validate the rename buffer (the caller keeps the target on the volume).
//
// Where the documentation is silent, the sim's choices:
// - Only a name starting with a backslash counts as fully qualified; a
//   relative name with a backslash and no RootDirectory is not one of the
//   documented forms and goes to the file system as a simple name (which
//   refuses the backslash).
// - Share access FILE_SHARE_READ | FILE_SHARE_WRITE, disposition FILE_OPEN,
//   no create options. (The documentation notes only that the write access
//   of this open is what may conflict with the caller's RootDirectory
//   handle.) The I/O manager's open forces the access check
//   (SL_FORCE_ACCESS_CHECK), as it exists to check the caller's access.
// - The I/O manager knows the source is a directory from its open
//   (FILE_DIRECTORY_FILE) or from the file system that holds it; a file
//   object a filter completed itself is taken as a file unless it was opened
//   with FILE_DIRECTORY_FILE.
// - FILE_EXISTS in the open's Information does not by itself fail the
//   request: the file system applies ReplaceIfExists, since only it can tell
//   an existing entry that is the source itself (a change of case given as a
//   full name, which Windows performs).
// - FltSetInformationFile opens the target itself (minifilters are told to
//   rename with it, not with ZwSetInformationFile), through the instances
//   below the caller only, as FltCreateFile with an instance does.
#include "io/io_manager.h"
#include "kernel/object_manager.h"

namespace sim::io {
namespace {

bool SourceIsDirectory(FileObject* source) {
  if (source->createOptions & FILE_DIRECTORY_FILE) return true;
  FileSystem& fs = *source->volume->fs;
  if (!source->openedByFileSystem || !fs.Owns(source->fo())) return false;
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK iosb{};
  return NT_SUCCESS(fs.QueryInformation(source->fo(), FileStandardInformation, &standard,
                                        sizeof(standard), iosb)) &&
         standard.Directory;
}

}  // namespace

bool IsRenameOrLinkClass(FILE_INFORMATION_CLASS infoClass) {
  return infoClass == FileRenameInformation || infoClass == FileRenameInformationEx ||
         infoClass == FileLinkInformation || infoClass == FileLinkInformationEx;
}

NTSTATUS RenameTargetDirectory::Open(FileObject* source, const void* buffer, ULONG length,
                                     FILE_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode,
                                     _FLT_INSTANCE* startBelow, bool byFilter) {
  if (!IsRenameOrLinkClass(infoClass)) return STATUS_SUCCESS;
  const auto* info = static_cast<const FILE_RENAME_INFORMATION*>(buffer);
  const ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  if (info == nullptr || length < header || info->FileNameLength > length - header) {
    // Left to the file system, which refuses it, for the Filter Manager.
    return byFilter ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  }
  std::u16string name(reinterpret_cast<const char16_t*>(info->FileName),
                      info->FileNameLength / sizeof(WCHAR));
  if (info->RootDirectory == nullptr && (name.empty() || name[0] != u'\\')) return STATUS_SUCCESS;

  UNICODE_STRING objectName;
  objectName.Buffer = reinterpret_cast<PWCH>(name.data());
  objectName.Length = objectName.MaximumLength = static_cast<USHORT>(info->FileNameLength);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_KERNEL_HANDLE, info->RootDirectory,
                             nullptr);
  if (!(source->fo()->Flags & FO_OPENED_CASE_SENSITIVE))
    attributes.Attributes |= OBJ_CASE_INSENSITIVE;
  CreateRequest rq;
  rq.attributes = &attributes;
  rq.desiredAccess =
      SYNCHRONIZE | (SourceIsDirectory(source) ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
  rq.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
  rq.disposition = FILE_OPEN;
  rq.mode = mode;
  rq.startBelow = startBelow;
  rq.fromFilter = byFilter;
  rq.ioOptions = IO_OPEN_TARGET_DIRECTORY | (byFilter ? 0 : IO_FORCE_ACCESS_CHECK);
  CreateCallSite site(nullptr);  // the I/O manager's (or Filter Manager's) own open
  FileObject* file = nullptr;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = CreateFile(rq, &file, iosb);
  if (!NT_SUCCESS(status)) return status;
  file_ = file;  // the creator's reference
  handle_ = kernel::InsertHandle(file, file->grantedAccess, true);
  file->fo()->Flags |= FO_HANDLE_CREATED;
  if (!byFilter && file->volume != source->volume) return STATUS_NOT_SAME_DEVICE;
  return STATUS_SUCCESS;
}

RenameTargetDirectory::~RenameTargetDirectory() {
  if (handle_) kernel::CloseHandle(handle_, KernelMode);
  if (file_) file_->Dereference();
}

}  // namespace sim::io
