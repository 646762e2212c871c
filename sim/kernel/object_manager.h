// The simulation's object manager core: kernel objects with handle and
// pointer counts, per-process handle tables and the kernel handle table.
//
// As on Windows, an object's body is what drivers see (a FILE_OBJECT, a
// KTHREAD, ...); the object header lives before it in a KernelObject. When
// the last handle closes, OnLastHandleClosed runs (files: IRP_MJ_CLEANUP);
// when the last reference goes, OnLastReference runs (files: IRP_MJ_CLOSE)
// and the object is deleted.
#pragma once

#include <cstdint>
#include <memory>

#include "nt/ntdef.h"
#include "nt/ob.h"

namespace sim::kernel {

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  // A short type name for diagnostics ("File", "Thread", "Process", ...).
  virtual const char* TypeName() const = 0;

  // The body drivers see (ObReferenceObject and friends take it).
  virtual void* Body() = 0;

  // Pointer references. The object is created with one reference, owned by
  // its creator; inserting a handle adds one more.
  void Reference();
  void Dereference();

  long HandleCount() const;
  long PointerCount() const;

 protected:
  // Runs once, when the last handle to the object closes.
  virtual void OnLastHandleClosed() {}
  // Runs once, when the last reference goes, just before deletion.
  virtual void OnLastReference() {}

 private:
  friend class HandleTables;
  std::int64_t handles_ = 0;
  std::int64_t pointers_ = 1;
};

// Registers an object so that its body can be found (ObReferenceObject).
// Called by the creator once the body's address is final.
void RegisterObjectBody(KernelObject* object);

// Finds the object whose body is at `body`, or null.
KernelObject* ObjectFromBody(const void* body);

// Inserts a handle to `object` into the calling thread's process table (or
// the kernel table when `kernelHandle`, as OBJ_KERNEL_HANDLE does). Adds a
// handle count and a pointer reference.
HANDLE InsertHandle(KernelObject* object, ACCESS_MASK grantedAccess, bool kernelHandle);

// Looks a handle up in the table it belongs to and returns the object with
// an added pointer reference (the caller dereferences), or null. Kernel
// handles are valid in any process but only from kernel mode.
KernelObject* ReferenceHandle(HANDLE handle, KPROCESSOR_MODE mode,
                              ACCESS_MASK* grantedAccess = nullptr);

// Closes a handle (NtClose / ZwClose). STATUS_INVALID_HANDLE for an
// unknown handle.
NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode);

// True for a kernel-table handle value.
bool IsKernelHandle(HANDLE handle);

// Closes every handle of a process (process exit) and returns how many.
std::size_t CloseProcessHandles(std::uint32_t processId);

// Objects that still have a handle or a reference: for leak reports.
std::size_t LiveObjectCount();

}  // namespace sim::kernel
