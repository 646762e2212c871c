// The acquire and release callbacks of the modified page writer and the
// cache manager's flush. The documentation does not say which process they
// run in beyond "a system thread"; the sim runs them as the System process
// on the calling thread. A failed acquire is not followed by its release
// (the file system holds nothing to release).
#include "harness/cache_manager.h"

#include "io/io_manager.h"
#include "kernel/object_manager.h"
#include "kernel/thread_state.h"

namespace sim::harness {
namespace {

struct AsSystem {
  AsSystem() : saved(kernel::CurrentThread().processId) {
    kernel::CurrentThread().processId = kernel::kSystemProcessId;
  }
  ~AsSystem() { kernel::CurrentThread().processId = saved; }
  std::uint32_t saved;
};

struct Callback {
  LARGE_INTEGER endingOffset{};
  PERESOURCE resource = nullptr;
};

NTSTATUS Send(io::FileObject* file, UCHAR major, Callback& values) {
  IO_STATUS_BLOCK iosb{};
  auto setup = [](io::Operation& op, void* context) {
    auto* v = static_cast<Callback*>(context);
    op.data.Flags = FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION;
    op.data.RequestorMode = KernelMode;
    auto& p = op.iopb.Parameters;
    if (op.iopb.MajorFunction == IRP_MJ_ACQUIRE_FOR_MOD_WRITE) {
      p.AcquireForModifiedPageWriter.EndingOffset = &v->endingOffset;
      p.AcquireForModifiedPageWriter.ResourceToRelease = &v->resource;
    } else if (op.iopb.MajorFunction == IRP_MJ_RELEASE_FOR_MOD_WRITE) {
      p.ReleaseForModifiedPageWriter.ResourceToRelease = v->resource;
    }
  };
  return io::RunFileOperation(file, nullptr, KernelMode, major, 0, setup, &values, iosb);
}

template <class Body>
NTSTATUS WithFile(HANDLE handle, Body&& body) {
  kernel::KernelObject* object = kernel::ReferenceHandle(handle, UserMode);
  auto* file = dynamic_cast<io::FileObject*>(object);
  if (!file) {
    if (object) object->Dereference();
    return object ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  }
  NTSTATUS status;
  {
    AsSystem system;
    status = body(file);
  }
  file->Dereference();
  return status;
}

NTSTATUS Bracket(HANDLE handle, UCHAR acquire, UCHAR release, LONGLONG endingOffset) {
  return WithFile(handle, [&](io::FileObject* file) {
    Callback values;
    values.endingOffset.QuadPart = endingOffset;
    const NTSTATUS status = Send(file, acquire, values);
    if (NT_SUCCESS(status)) Send(file, release, values);
    return status;
  });
}

// One MDL read or completion, fast I/O first where the I/O manager's
// caller would try it; returns the MdlAddress the operation ends with.
NTSTATUS SendMdlRead(io::FileObject* file, UCHAR minor, LONGLONG offset, ULONG length,
                     PMDL* mdl, IO_STATUS_BLOCK& iosb) {
  const bool fastIoable = io::FastIoPossible(file, IRP_MJ_READ, FileBasicInformation);
  for (int attempt = fastIoable ? 0 : 1; attempt < 2; ++attempt) {
    io::Operation op(file->volume, file, IRP_MJ_READ, minor);
    op.data.RequestorMode = KernelMode;
    op.fastIo = attempt == 0;
    op.iopb.IrpFlags |= IRP_READ_OPERATION;
    auto& r = op.iopb.Parameters.Read;
    r.ByteOffset.QuadPart = offset;
    r.Length = length;
    r.MdlAddress = *mdl;
    const NTSTATUS status = io::SendOperation(op);
    if (op.fastIo && op.fastIoRefused) continue;
    iosb = op.data.IoStatus;
    *mdl = r.MdlAddress;
    return status;
  }
  return iosb.Status;
}


}  // namespace

NTSTATUS MdlRead(HANDLE handle, LONGLONG offset, ULONG length, PMDL* mdl,
                 IO_STATUS_BLOCK* iosb) {
  *mdl = nullptr;
  return WithFile(handle, [&](io::FileObject* file) {
    return SendMdlRead(file, IRP_MN_MDL, offset, length, mdl, *iosb);
  });
}

NTSTATUS MdlReadComplete(HANDLE handle, PMDL mdl) {
  return WithFile(handle, [&](io::FileObject* file) {
    IO_STATUS_BLOCK iosb{};
    return SendMdlRead(file, IRP_MN_MDL | IRP_MN_COMPLETE, 0, 0, &mdl, iosb);
  });
}

NTSTATUS WriteModifiedPages(HANDLE handle, LONGLONG endingOffset) {
  return Bracket(handle, IRP_MJ_ACQUIRE_FOR_MOD_WRITE, IRP_MJ_RELEASE_FOR_MOD_WRITE, endingOffset);
}

NTSTATUS FlushCachedFile(HANDLE handle) {
  return Bracket(handle, IRP_MJ_ACQUIRE_FOR_CC_FLUSH, IRP_MJ_RELEASE_FOR_CC_FLUSH, 0);
}

}  // namespace sim::harness
