#include "errno_map.h"

#include <cerrno>

namespace tavo::tool {
namespace {

struct StatusErrno {
  NTSTATUS status;
  int error;
};

// The README's errno table is this table.
constexpr StatusErrno kErrnoTable[] = {
    {STATUS_OBJECT_NAME_NOT_FOUND, ENOENT},
    {STATUS_OBJECT_PATH_NOT_FOUND, ENOENT},
    {STATUS_NO_SUCH_FILE, ENOENT},
    // The name is on its way out: to a POSIX program it is gone already.
    {STATUS_DELETE_PENDING, ENOENT},
    {STATUS_ACCESS_DENIED, EACCES},
    {STATUS_CANNOT_DELETE, EACCES},
    {STATUS_MEDIA_WRITE_PROTECTED, EROFS},
    {STATUS_OBJECT_NAME_COLLISION, EEXIST},
    {STATUS_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
    {STATUS_NAME_TOO_LONG, ENAMETOOLONG},
    {STATUS_OBJECT_NAME_INVALID, EINVAL},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, EINVAL},
    {STATUS_INVALID_PARAMETER, EINVAL},
    {STATUS_SHARING_VIOLATION, EBUSY},
    {STATUS_FILE_LOCK_CONFLICT, EBUSY},
    {STATUS_FILE_IS_A_DIRECTORY, EISDIR},
    {STATUS_NOT_A_DIRECTORY, ENOTDIR},
    {STATUS_NOT_SAME_DEVICE, EXDEV},
    {STATUS_DISK_FULL, ENOSPC},
    {STATUS_INSUFFICIENT_RESOURCES, ENOMEM},
    {STATUS_NOT_SUPPORTED, EOPNOTSUPP},
    {STATUS_NOT_IMPLEMENTED, EOPNOTSUPP},
    {STATUS_INVALID_DEVICE_REQUEST, EOPNOTSUPP},
};

}  // namespace

int ErrnoFor(NTSTATUS status) {
  if (NT_SUCCESS(status)) return 0;
  for (const StatusErrno& row : kErrnoTable) {
    if (row.status == status) return row.error;
  }
  return EIO;
}

}  // namespace tavo::tool
