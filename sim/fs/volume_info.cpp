// Volume information, security descriptors and the control requests the
// volume answers: FSCTL_GET_REPARSE_POINT (there are no reparse points) and
// IOCTL_MOUNTDEV_QUERY_DEVICE_NAME.
#include <algorithm>
#include <cstring>

#include <mountdev.h>

#include "fs/volume.h"
#include "kernel/security_descriptor.h"

namespace sim::fs {
namespace {

constexpr char16_t kFileSystemName[] = u"NTFS";

// What the volume can do. No hard links, streams, EAs or object IDs: it does
// not claim them.
constexpr ULONG kFileSystemAttributes =
    FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
    FILE_PERSISTENT_ACLS | FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_POSIX_UNLINK_RENAME;

}  // namespace

NTSTATUS Volume::QueryVolumeInformation(FILE_OBJECT* fo, FS_INFORMATION_CLASS infoClass,
                                        void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  const LONGLONG totalUnits = static_cast<LONGLONG>(options_.sizeBytes / options_.clusterSize);
  const LONGLONG freeUnits = totalUnits - allocatedBytes_ / options_.clusterSize;

  switch (infoClass) {
    case FileFsVolumeInformation: {
      if (length < sizeof(FILE_FS_VOLUME_INFORMATION)) break;
      auto* v = static_cast<FILE_FS_VOLUME_INFORMATION*>(buffer);
      std::memset(v, 0, sizeof(*v));
      v->VolumeCreationTime.QuadPart = volumeCreationTime_;
      v->VolumeSerialNumber = options_.serialNumber;
      v->SupportsObjects = TRUE;
      const auto bytes = static_cast<ULONG>(options_.label.size() * sizeof(WCHAR));
      const ULONG room = (length - FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel)) & ~1u;
      const ULONG copied = std::min(bytes, room);
      v->VolumeLabelLength = bytes;
      std::memcpy(v->VolumeLabel, options_.label.data(), copied);
      iosb.Information = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel) + copied;
      return iosb.Status = copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case FileFsSizeInformation: {
      if (length < sizeof(FILE_FS_SIZE_INFORMATION)) break;
      auto* s = static_cast<FILE_FS_SIZE_INFORMATION*>(buffer);
      s->TotalAllocationUnits.QuadPart = totalUnits;
      s->AvailableAllocationUnits.QuadPart = freeUnits;
      s->SectorsPerAllocationUnit = options_.clusterSize / options_.sectorSize;
      s->BytesPerSector = options_.sectorSize;
      iosb.Information = sizeof(*s);
      return iosb.Status = STATUS_SUCCESS;
    }
    case FileFsFullSizeInformation: {
      if (length < sizeof(FILE_FS_FULL_SIZE_INFORMATION)) break;
      auto* s = static_cast<FILE_FS_FULL_SIZE_INFORMATION*>(buffer);
      s->TotalAllocationUnits.QuadPart = totalUnits;
      s->CallerAvailableAllocationUnits.QuadPart = freeUnits;  // no quotas
      s->ActualAvailableAllocationUnits.QuadPart = freeUnits;
      s->SectorsPerAllocationUnit = options_.clusterSize / options_.sectorSize;
      s->BytesPerSector = options_.sectorSize;
      iosb.Information = sizeof(*s);
      return iosb.Status = STATUS_SUCCESS;
    }
    case FileFsAttributeInformation: {
      if (length < sizeof(FILE_FS_ATTRIBUTE_INFORMATION)) break;
      auto* a = static_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
      a->FileSystemAttributes = kFileSystemAttributes;
      a->MaximumComponentNameLength = 255;
      const ULONG bytes = sizeof(kFileSystemName) - sizeof(WCHAR);
      const ULONG room =
          (length - FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName)) & ~1u;
      const ULONG copied = std::min(bytes, room);
      a->FileSystemNameLength = bytes;
      std::memcpy(a->FileSystemName, kFileSystemName, copied);
      iosb.Information = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) + copied;
      return iosb.Status = copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case FileFsDeviceInformation: {
      if (length < sizeof(FILE_FS_DEVICE_INFORMATION)) break;
      auto* d = static_cast<FILE_FS_DEVICE_INFORMATION*>(buffer);
      d->DeviceType = FILE_DEVICE_DISK;
      d->Characteristics = FILE_DEVICE_IS_MOUNTED;
      iosb.Information = sizeof(*d);
      return iosb.Status = STATUS_SUCCESS;
    }
    default:
      return iosb.Status = STATUS_INVALID_PARAMETER;
  }
  return iosb.Status = STATUS_INFO_LENGTH_MISMATCH;
}

NTSTATUS Volume::QuerySecurity(FILE_OBJECT* fo, SECURITY_INFORMATION information, void* buffer,
                               ULONG length, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  const auto& stored = fcb->node != nullptr ? fcb->node->security : root_->security;
  ULONG needed = 0;
  const NTSTATUS status =
      kernel::security::QuerySecurity(stored, information, buffer, length, &needed);
  // STATUS_BUFFER_TOO_SMALL carries the size needed in Information.
  iosb.Information = needed;
  return iosb.Status = status;
}

NTSTATUS Volume::SetSecurity(FILE_OBJECT* fo, SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  if (fcb->node == nullptr) return iosb.Status = STATUS_INVALID_PARAMETER;
  kernel::security::Bytes merged;
  const NTSTATUS status =
      kernel::security::MergeParts(fcb->node->security, information, descriptor, &merged);
  if (!NT_SUCCESS(status)) return iosb.Status = status;
  fcb->node->security = std::move(merged);
  if (!ccb->freezeChange) fcb->node->changeTime = Now();
  return iosb.Status = STATUS_SUCCESS;
}

// The file-system controls the system sends to ordinary files:
// - FSCTL_GET_REPARSE_POINT: no file of the volume has a reparse point.
// - FSCTL_QUERY_ALLOCATED_RANGES (METHOD_NEITHER, read access): the volume
//   keeps no sparse files, and for a file that is not sparse the answer is
//   one range, the one asked for (none for a zero length). An input shorter
//   than one FILE_ALLOCATED_RANGE_BUFFER, a negative offset or length, or a
//   range past the largest offset is STATUS_INVALID_PARAMETER; an output
//   with no room for one range is STATUS_BUFFER_TOO_SMALL. The control is
//   for data files: on a directory or the volume it is
//   STATUS_INVALID_PARAMETER (the documentation names only files; NTFS's
//   answer).
// - Oplock requests (FSCTL_REQUEST_OPLOCK, FSCTL_REQUEST_FILTER_OPLOCK,
//   ...): the volume has no oplock package and refuses them, as it does
//   every other control, with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS Volume::FileSystemControl(FILE_OBJECT* fo, ULONG controlCode, const void* input,
                                   ULONG inputLength, void* output, ULONG outputLength,
                                   IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  if (controlCode == FSCTL_GET_REPARSE_POINT) return iosb.Status = STATUS_NOT_A_REPARSE_POINT;
  if (controlCode != FSCTL_QUERY_ALLOCATED_RANGES) {
    return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (fcb->node == nullptr || fcb->node->isDirectory) return iosb.Status = STATUS_INVALID_PARAMETER;
  if (input == nullptr || inputLength < sizeof(FILE_ALLOCATED_RANGE_BUFFER)) {
    return iosb.Status = STATUS_INVALID_PARAMETER;
  }
  FILE_ALLOCATED_RANGE_BUFFER asked;
  std::memcpy(&asked, input, sizeof(asked));
  const LONGLONG offset = asked.FileOffset.QuadPart, length = asked.Length.QuadPart;
  if (offset < 0 || length < 0 || offset > MAXLONGLONG - length) {
    return iosb.Status = STATUS_INVALID_PARAMETER;
  }
  if (output == nullptr || outputLength < sizeof(FILE_ALLOCATED_RANGE_BUFFER)) {
    return iosb.Status = STATUS_BUFFER_TOO_SMALL;
  }
  if (length != 0) {
    std::memcpy(output, &asked, sizeof(asked));
    iosb.Information = sizeof(asked);
  }
  return iosb.Status = STATUS_SUCCESS;
}

// IOCTL_MOUNTDEV_QUERY_DEVICE_NAME: a buffer smaller than MOUNTDEV_NAME is
// STATUS_INVALID_PARAMETER; one that holds the structure but not the name
// gets NameLength and STATUS_BUFFER_OVERFLOW, so the caller can size the
// next try.
NTSTATUS Volume::DeviceControl(FILE_OBJECT* fo, ULONG controlCode, const void*, ULONG, void* output,
                               ULONG outputLength, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  if (controlCode != IOCTL_MOUNTDEV_QUERY_DEVICE_NAME)
    return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  if (outputLength < sizeof(MOUNTDEV_NAME)) return iosb.Status = STATUS_INVALID_PARAMETER;
  auto* name = static_cast<MOUNTDEV_NAME*>(output);
  const auto bytes = static_cast<USHORT>(options_.deviceName.size() * sizeof(WCHAR));
  name->NameLength = bytes;
  const ULONG needed = FIELD_OFFSET(MOUNTDEV_NAME, Name) + bytes;
  if (outputLength < needed) {
    iosb.Information = sizeof(MOUNTDEV_NAME);
    return iosb.Status = STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(name->Name, options_.deviceName.data(), bytes);
  iosb.Information = needed;
  return iosb.Status = STATUS_SUCCESS;
}

}  // namespace sim::fs
