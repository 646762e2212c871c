// Mount-manager device controls (mountdev.h): what a volume device answers
// about its name.
#pragma once
#include "nt/io.h"
#include "nt/fileinfo.h"

#define MOUNTDEVCONTROLTYPE 0x0000004D  // 'M'

#define IOCTL_MOUNTDEV_QUERY_DEVICE_NAME \
  CTL_CODE(MOUNTDEVCONTROLTYPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The device name ("\Device\HarddiskVolume2"); NameLength is in bytes. A
// buffer that holds only this structure gets STATUS_BUFFER_OVERFLOW with
// NameLength set, so the caller can retry with room for the whole name.
typedef struct _MOUNTDEV_NAME {
  USHORT NameLength;
  WCHAR Name[1];
} MOUNTDEV_NAME, *PMOUNTDEV_NAME;

#ifdef __cplusplus
static_assert(sizeof(MOUNTDEV_NAME) == 4, "MOUNTDEV_NAME");
static_assert(IOCTL_MOUNTDEV_QUERY_DEVICE_NAME == 0x004D0008, "IOCTL_MOUNTDEV_QUERY_DEVICE_NAME");
#endif
