// References the Filter Manager hands out, released by their owners:
// contexts (FltReleaseContext), file-name information
// (FltReleaseFileNameInformation), filter objects (FltObjectDereference) and
// files the driver opens itself (FltClose and ObDereferenceObject).
#pragma once

#include <fltKernel.h>

namespace tavo {

// One reference to a context of type T.
template <class T>
class ContextRef {
 public:
  ContextRef() = default;
  explicit ContextRef(T* context) : context_(context) {}
  ContextRef(const ContextRef&) = delete;
  ContextRef& operator=(const ContextRef&) = delete;
  ContextRef(ContextRef&& other) noexcept : context_(other.Release()) {}
  ContextRef& operator=(ContextRef&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~ContextRef() { Reset(); }

  T* Get() const { return context_; }
  T* operator->() const { return context_; }
  explicit operator bool() const { return context_ != nullptr; }

  // For FltGet*Context and FltAllocateContext out-parameters.
  PFLT_CONTEXT* Receive() {
    Reset();
    return reinterpret_cast<PFLT_CONTEXT*>(&context_);
  }
  // Hands the reference on (for example as a completion context).
  [[nodiscard]] T* Release() {
    T* context = context_;
    context_ = nullptr;
    return context;
  }
  void Reset(T* context = nullptr) {
    if (context_ != nullptr) FltReleaseContext(context_);
    context_ = context;
  }

 private:
  T* context_ = nullptr;
};

// One reference to file-name information.
class FileNameRef {
 public:
  FileNameRef() = default;
  FileNameRef(const FileNameRef&) = delete;
  FileNameRef& operator=(const FileNameRef&) = delete;
  FileNameRef(FileNameRef&& other) noexcept : info_(other.info_) { other.info_ = nullptr; }
  ~FileNameRef() { Reset(); }

  PFLT_FILE_NAME_INFORMATION Get() const { return info_; }
  PFLT_FILE_NAME_INFORMATION operator->() const { return info_; }
  explicit operator bool() const { return info_ != nullptr; }
  PFLT_FILE_NAME_INFORMATION* Receive() {
    Reset();
    return &info_;
  }
  void Reset() {
    if (info_ != nullptr) FltReleaseFileNameInformation(info_);
    info_ = nullptr;
  }

 private:
  PFLT_FILE_NAME_INFORMATION info_ = nullptr;
};

// One reference to a Filter Manager object (PFLT_VOLUME, PFLT_INSTANCE, ...).
template <class P>
class FltObjectRef {
 public:
  FltObjectRef() = default;
  FltObjectRef(const FltObjectRef&) = delete;
  FltObjectRef& operator=(const FltObjectRef&) = delete;
  ~FltObjectRef() { Reset(); }

  P Get() const { return object_; }
  P* Receive() {
    Reset();
    return &object_;
  }
  void Reset() {
    if (object_ != nullptr) FltObjectDereference(object_);
    object_ = nullptr;
  }

 private:
  P object_ = nullptr;
};

}  // namespace tavo
