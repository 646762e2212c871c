// Pool memory owned by types: every allocation of the driver carries the
// "Tavo" tag, is zeroed, and is freed by the destructor of its owner.
#pragma once

#include <fltKernel.h>

namespace tavo {

// The driver's pool tag, "Tavo" as the debugger shows it (the WDK's 'ovaT').
inline constexpr ULONG kPoolTag =
    ULONG('T') | ULONG('a') << 8 | ULONG('v') << 16 | ULONG('o') << 24;

// Zeroed pool bytes with the driver's tag; null when pool is short.
inline void* AllocateZeroed(POOL_TYPE poolType, SIZE_T bytes) {
  // ExAllocatePoolWithTag rather than ExAllocatePool2: the driver supports
  // Windows versions that predate the latter.
  void* memory = ExAllocatePoolWithTag(poolType, bytes, kPoolTag);
  if (memory != nullptr) RtlZeroMemory(memory, bytes);
  return memory;
}

inline void FreePool(void* memory) {
  if (memory != nullptr) ExFreePoolWithTag(memory, kPoolTag);
}

// Tag type selecting the driver's placement allocation below.
struct PoolAllocation {
  POOL_TYPE poolType;
};
inline constexpr PoolAllocation kNonPaged{NonPagedPool};
inline constexpr PoolAllocation kPaged{PagedPool};

}  // namespace tavo

// The only form of new in the driver: zeroed, tagged pool, null on failure.
inline void* operator new(decltype(sizeof(0)) size, tavo::PoolAllocation pool) noexcept {
  return tavo::AllocateZeroed(pool.poolType, size);
}
inline void operator delete(void* memory, tavo::PoolAllocation) noexcept {
  tavo::FreePool(memory);
}

namespace tavo {

// Constructs a T in zeroed pool; null when pool is short.
template <class T, class... Args>
T* NewInPool(PoolAllocation pool, Args&&... args) {
  return new (pool) T(static_cast<Args&&>(args)...);
}

template <class T>
void DeleteFromPool(T* object) {
  if (object == nullptr) return;
  object->~T();
  FreePool(object);
}

// Unique owner of one T constructed in pool.
template <class T>
class PoolPtr {
 public:
  PoolPtr() = default;
  explicit PoolPtr(T* object) : object_(object) {}
  PoolPtr(const PoolPtr&) = delete;
  PoolPtr& operator=(const PoolPtr&) = delete;
  PoolPtr(PoolPtr&& other) noexcept : object_(other.Release()) {}
  PoolPtr& operator=(PoolPtr&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~PoolPtr() { Reset(); }

  template <class... Args>
  [[nodiscard]] static PoolPtr Make(PoolAllocation pool, Args&&... args) {
    return PoolPtr(NewInPool<T>(pool, static_cast<Args&&>(args)...));
  }

  T* Get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Gives up ownership (the object now belongs to a table or a list).
  [[nodiscard]] T* Release() {
    T* object = object_;
    object_ = nullptr;
    return object;
  }
  void Reset(T* object = nullptr) {
    DeleteFromPool(object_);
    object_ = object;
  }

 private:
  T* object_ = nullptr;
};

// Unique owner of a zeroed pool byte buffer.
class PoolBuffer {
 public:
  PoolBuffer() = default;
  PoolBuffer(const PoolBuffer&) = delete;
  PoolBuffer& operator=(const PoolBuffer&) = delete;
  PoolBuffer(PoolBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  PoolBuffer& operator=(PoolBuffer&& other) noexcept {
    if (this != &other) {
      FreePool(data_);
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  ~PoolBuffer() { FreePool(data_); }

  [[nodiscard]] static PoolBuffer Allocate(POOL_TYPE poolType, ULONG size) {
    PoolBuffer buffer;
    buffer.data_ = static_cast<UCHAR*>(AllocateZeroed(poolType, size));
    buffer.size_ = buffer.data_ != nullptr ? size : 0;
    return buffer;
  }

  UCHAR* Data() const { return data_; }
  ULONG Size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }
  template <class T>
  T* As() const {
    return reinterpret_cast<T*>(data_);
  }

  [[nodiscard]] UCHAR* Release() {
    UCHAR* data = data_;
    data_ = nullptr;
    size_ = 0;
    return data;
  }

 private:
  UCHAR* data_ = nullptr;
  ULONG size_ = 0;
};

}  // namespace tavo
