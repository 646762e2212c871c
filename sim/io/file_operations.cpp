// Running operations on open file objects, with the fast I/O path first
// where the I/O manager would try it.
#include "io/io_manager.h"

namespace sim::io {

bool FastIoPossible(FileObject* file, UCHAR major, FILE_INFORMATION_CLASS infoClass) {
  const ULONG flags = file->fo()->Flags;
  if (!(flags & FO_SYNCHRONOUS_IO) || (flags & FO_VOLUME_OPEN)) return false;
  switch (major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return !(flags & FO_NO_INTERMEDIATE_BUFFERING);
    case IRP_MJ_QUERY_INFORMATION:
      return infoClass == FileBasicInformation || infoClass == FileStandardInformation ||
             infoClass == FileNetworkOpenInformation;
    default:
      return false;
  }
}

NTSTATUS RunFileOperation(FileObject* file, _FLT_INSTANCE* startBelow, KPROCESSOR_MODE mode,
                          UCHAR major, UCHAR minor, void (*setup)(Operation&, void*),
                          void* setupContext, IO_STATUS_BLOCK& iosb, bool fastIoable) {
  for (int attempt = fastIoable ? 0 : 1; attempt < 2; ++attempt) {
    Operation op(file->volume, file, major, minor);
    if (startBelow) op.startBelow = startBelow;
    op.data.RequestorMode = mode;
    op.fastIo = attempt == 0;
    setup(op, setupContext);
    NTSTATUS status = SendOperation(op);
    if (op.fastIo && op.fastIoRefused) continue;  // again, as an IRP
    iosb = op.data.IoStatus;
    return status;
  }
  return iosb.Status;
}

}  // namespace sim::io
