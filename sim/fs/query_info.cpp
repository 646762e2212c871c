// IRP_MJ_QUERY_INFORMATION: the file information classes NTFS answers.
// A buffer smaller than the class's fixed structure gets
// STATUS_INFO_LENGTH_MISMATCH; a name that does not fit in a buffer that
// holds the fixed part is cut, with its full length in FileNameLength and
// STATUS_BUFFER_OVERFLOW.
#include <algorithm>
#include <cstring>

#include "fs/volume.h"

namespace sim::fs {
namespace {

ULONG ReportedAttributes(const Node& node) {
  return node.attributes == 0 ? FILE_ATTRIBUTE_NORMAL : node.attributes;
}

// Writes a name into a FILE_NAME_INFORMATION at `info` whose buffer ends at
// `end`; returns the bytes of name copied.
ULONG PutName(FILE_NAME_INFORMATION* info, const std::u16string& name, const UCHAR* end,
              bool* overflow) {
  const ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  info->FileNameLength = bytes;
  const auto room = static_cast<ULONG>(end - reinterpret_cast<const UCHAR*>(info->FileName)) & ~1u;
  const ULONG copied = std::min(bytes, room);
  std::memcpy(info->FileName, name.data(), copied);
  *overflow = copied < bytes;
  return copied;
}

ULONG ModeOf(const FILE_OBJECT* fo) {
  ULONG mode = 0;
  if ((fo->Flags & FO_WRITE_THROUGH) != 0) mode |= FILE_WRITE_THROUGH;
  if ((fo->Flags & FO_SEQUENTIAL_ONLY) != 0) mode |= FILE_SEQUENTIAL_ONLY;
  if ((fo->Flags & FO_NO_INTERMEDIATE_BUFFERING) != 0) mode |= FILE_NO_INTERMEDIATE_BUFFERING;
  if ((fo->Flags & FO_SYNCHRONOUS_IO) != 0) {
    mode |= (fo->Flags & FO_ALERTABLE_IO) != 0 ? FILE_SYNCHRONOUS_IO_ALERT
                                               : FILE_SYNCHRONOUS_IO_NONALERT;
  }
  if ((fo->Flags & FO_DELETE_ON_CLOSE) != 0) mode |= FILE_DELETE_ON_CLOSE;
  return mode;
}

}  // namespace

NTSTATUS Volume::QueryInformation(FILE_OBJECT* fo, FILE_INFORMATION_CLASS infoClass, void* buffer,
                                  ULONG length, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  auto* out = static_cast<UCHAR*>(buffer);
  const UCHAR* end = out + length;

  auto fixed = [&](ULONG size) -> bool {
    if (length < size) return false;
    std::memset(buffer, 0, size);
    iosb.Information = size;
    return true;
  };

  // Classes that do not depend on the file.
  switch (infoClass) {
    case FilePositionInformation:
      if (!fixed(sizeof(FILE_POSITION_INFORMATION)))
        return iosb.Status = STATUS_INFO_LENGTH_MISMATCH;
      static_cast<FILE_POSITION_INFORMATION*>(buffer)->CurrentByteOffset = fo->CurrentByteOffset;
      return iosb.Status = STATUS_SUCCESS;
    case FileAccessInformation:
      if (!fixed(sizeof(FILE_ACCESS_INFORMATION))) return iosb.Status = STATUS_INFO_LENGTH_MISMATCH;
      static_cast<FILE_ACCESS_INFORMATION*>(buffer)->AccessFlags = ccb->grantedAccess;
      return iosb.Status = STATUS_SUCCESS;
    case FileModeInformation:
      if (!fixed(sizeof(FILE_MODE_INFORMATION))) return iosb.Status = STATUS_INFO_LENGTH_MISMATCH;
      static_cast<FILE_MODE_INFORMATION*>(buffer)->Mode = ModeOf(fo);
      return iosb.Status = STATUS_SUCCESS;
    case FileAlignmentInformation:
      if (!fixed(sizeof(FILE_ALIGNMENT_INFORMATION)))
        return iosb.Status = STATUS_INFO_LENGTH_MISMATCH;
      static_cast<FILE_ALIGNMENT_INFORMATION*>(buffer)->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
      return iosb.Status = STATUS_SUCCESS;
    default:
      break;
  }
  if (ccb->volumeOpen) return iosb.Status = STATUS_INVALID_PARAMETER;
  const Node& node = *fcb->node;
  const bool deletePending = fcb->deletePending;

  auto fillBasic = [&](FILE_BASIC_INFORMATION* b) {
    b->CreationTime.QuadPart = node.creationTime;
    b->LastAccessTime.QuadPart = node.lastAccessTime;
    b->LastWriteTime.QuadPart = node.lastWriteTime;
    b->ChangeTime.QuadPart = node.changeTime;
    b->FileAttributes = ReportedAttributes(node);
  };
  // An unlinked (POSIX-deleted) file has no links left.
  auto fillStandard = [&](FILE_STANDARD_INFORMATION* s) {
    s->AllocationSize.QuadPart = node.isDirectory ? 0 : node.allocationSize;
    s->EndOfFile.QuadPart = node.isDirectory ? 0 : node.EndOfFile();
    s->NumberOfLinks = node.unlinked ? 0 : 1;
    s->DeletePending = deletePending || node.unlinked;
    s->Directory = node.isDirectory;
  };

  switch (infoClass) {
    case FileBasicInformation:
      if (!fixed(sizeof(FILE_BASIC_INFORMATION))) break;
      fillBasic(static_cast<FILE_BASIC_INFORMATION*>(buffer));
      return iosb.Status = STATUS_SUCCESS;
    case FileStandardInformation:
      if (!fixed(sizeof(FILE_STANDARD_INFORMATION))) break;
      fillStandard(static_cast<FILE_STANDARD_INFORMATION*>(buffer));
      return iosb.Status = STATUS_SUCCESS;
    case FileInternalInformation:
      if (!fixed(sizeof(FILE_INTERNAL_INFORMATION))) break;
      static_cast<FILE_INTERNAL_INFORMATION*>(buffer)->IndexNumber.QuadPart =
          static_cast<LONGLONG>(node.fileId);
      return iosb.Status = STATUS_SUCCESS;
    case FileEaInformation:
      if (!fixed(sizeof(FILE_EA_INFORMATION))) break;
      return iosb.Status = STATUS_SUCCESS;  // no extended attributes
    case FileNetworkOpenInformation: {
      if (!fixed(sizeof(FILE_NETWORK_OPEN_INFORMATION))) break;
      auto* n = static_cast<FILE_NETWORK_OPEN_INFORMATION*>(buffer);
      n->CreationTime.QuadPart = node.creationTime;
      n->LastAccessTime.QuadPart = node.lastAccessTime;
      n->LastWriteTime.QuadPart = node.lastWriteTime;
      n->ChangeTime.QuadPart = node.changeTime;
      n->AllocationSize.QuadPart = node.isDirectory ? 0 : node.allocationSize;
      n->EndOfFile.QuadPart = node.isDirectory ? 0 : node.EndOfFile();
      n->FileAttributes = ReportedAttributes(node);
      return iosb.Status = STATUS_SUCCESS;
    }
    case FileAttributeTagInformation: {
      if (!fixed(sizeof(FILE_ATTRIBUTE_TAG_INFORMATION))) break;
      auto* t = static_cast<FILE_ATTRIBUTE_TAG_INFORMATION*>(buffer);
      t->FileAttributes = ReportedAttributes(node);
      t->ReparseTag = 0;
      return iosb.Status = STATUS_SUCCESS;
    }
    // Names: the volume-relative path in long-name form, or the short name.
    case FileNameInformation:
    case FileNormalizedNameInformation:
    case FileAlternateNameInformation: {
      if (length < sizeof(FILE_NAME_INFORMATION)) break;
      std::u16string name;
      if (infoClass == FileAlternateNameInformation) {
        if (node.shortName.empty()) return iosb.Status = STATUS_OBJECT_NAME_NOT_FOUND;
        name = node.shortName;
      } else {
        name = PathOf(&node);
      }
      auto* info = static_cast<FILE_NAME_INFORMATION*>(buffer);
      bool overflow = false;
      const ULONG copied = PutName(info, name, end, &overflow);
      iosb.Information = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) + copied;
      return iosb.Status = overflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case FileAllInformation: {
      if (length < sizeof(FILE_ALL_INFORMATION)) break;
      std::memset(buffer, 0, sizeof(FILE_ALL_INFORMATION));
      auto* all = static_cast<FILE_ALL_INFORMATION*>(buffer);
      fillBasic(&all->BasicInformation);
      fillStandard(&all->StandardInformation);
      all->InternalInformation.IndexNumber.QuadPart = static_cast<LONGLONG>(node.fileId);
      all->AccessInformation.AccessFlags = ccb->grantedAccess;
      all->PositionInformation.CurrentByteOffset = fo->CurrentByteOffset;
      all->ModeInformation.Mode = ModeOf(fo);
      all->AlignmentInformation.AlignmentRequirement = FILE_BYTE_ALIGNMENT;
      bool overflow = false;
      const ULONG copied = PutName(&all->NameInformation, PathOf(&node), end, &overflow);
      iosb.Information = FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation.FileName) + copied;
      return iosb.Status = overflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    default:
      return iosb.Status = STATUS_INVALID_PARAMETER;
  }
  iosb.Information = 0;
  return iosb.Status = STATUS_INFO_LENGTH_MISMATCH;
}

}  // namespace sim::fs
