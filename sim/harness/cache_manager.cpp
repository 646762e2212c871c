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

NTSTATUS Bracket(HANDLE handle, UCHAR acquire, UCHAR release, LONGLONG endingOffset) {
  kernel::KernelObject* object = kernel::ReferenceHandle(handle, UserMode);
  auto* file = dynamic_cast<io::FileObject*>(object);
  if (!file) {
    if (object) object->Dereference();
    return object ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  }
  NTSTATUS status;
  {
    AsSystem system;
    Callback values;
    values.endingOffset.QuadPart = endingOffset;
    status = Send(file, acquire, values);
    if (NT_SUCCESS(status)) Send(file, release, values);
  }
  file->Dereference();
  return status;
}

}  // namespace

NTSTATUS WriteModifiedPages(HANDLE handle, LONGLONG endingOffset) {
  return Bracket(handle, IRP_MJ_ACQUIRE_FOR_MOD_WRITE, IRP_MJ_RELEASE_FOR_MOD_WRITE, endingOffset);
}

NTSTATUS FlushCachedFile(HANDLE handle) {
  return Bracket(handle, IRP_MJ_ACQUIRE_FOR_CC_FLUSH, IRP_MJ_RELEASE_FOR_CC_FLUSH, 0);
}

}  // namespace sim::harness
