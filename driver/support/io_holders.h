// Holders of the I/O objects the driver makes for itself: a deferred I/O
// work item, and a handle with its file object from FltCreateFileEx.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Frees a deferred I/O work item when it goes out of scope.
class [[nodiscard]] WorkItem {
 public:
  WorkItem() : item_(FltAllocateDeferredIoWorkItem()) {}
  explicit WorkItem(PFLT_DEFERRED_IO_WORKITEM item) : item_(item) {}
  WorkItem(const WorkItem&) = delete;
  WorkItem& operator=(const WorkItem&) = delete;
  ~WorkItem() {
    if (item_ != nullptr) FltFreeDeferredIoWorkItem(item_);
  }
  PFLT_DEFERRED_IO_WORKITEM Get() const { return item_; }
  // The work item now belongs to its queued routine.
  void Release() { item_ = nullptr; }

 private:
  PFLT_DEFERRED_IO_WORKITEM item_;
};

// A handle and file object from FltCreateFileEx, closed and dereferenced
// when the holder goes.
class [[nodiscard]] OpenedFile {
 public:
  OpenedFile() = default;
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
  ~OpenedFile() { Reset(); }
  PHANDLE Handle() { return &handle_; }
  PFILE_OBJECT* FileObject() { return &fileObject_; }
  PFILE_OBJECT Object() const { return fileObject_; }
  bool IsOpen() const { return handle_ != nullptr; }
  // Gives the handle and the object reference to a record that closes them.
  void Release(HANDLE* handle, PFILE_OBJECT* fileObject) {
    *handle = handle_;
    *fileObject = fileObject_;
    handle_ = nullptr;
    fileObject_ = nullptr;
  }
  void Reset() {
    if (handle_ != nullptr) FltClose(handle_);
    if (fileObject_ != nullptr) ObDereferenceObject(fileObject_);
    handle_ = nullptr;
    fileObject_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
  PFILE_OBJECT fileObject_ = nullptr;
};

}  // namespace tavo
