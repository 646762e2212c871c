// Lock holders. An executive resource is always taken with wait inside a
// critical region: the holders enter the region before acquiring and leave
// it after releasing, so no exit path can forget either half.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Holds an ERESOURCE exclusive for the holder's lifetime.
class [[nodiscard]] ExclusiveLock {
 public:
  explicit ExclusiveLock(ERESOURCE& resource) : resource_(&resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource_, TRUE);
  }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
  ~ExclusiveLock() {
    ExReleaseResourceLite(resource_);
    KeLeaveCriticalRegion();
  }

 private:
  ERESOURCE* resource_;
};

// Holds an ERESOURCE shared for the holder's lifetime.
class [[nodiscard]] SharedLock {
 public:
  explicit SharedLock(ERESOURCE& resource) : resource_(&resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(resource_, TRUE);
  }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;
  ~SharedLock() {
    ExReleaseResourceLite(resource_);
    KeLeaveCriticalRegion();
  }

 private:
  ERESOURCE* resource_;
};

// Holds a kernel mutex. The wait is neither alertable nor timed, so it
// ends only with the mutex held: every holder must get it to leave shared
// state consistent (a requester recording an abandoned wait, the answer
// handler delivering an answer it has already acknowledged).
class [[nodiscard]] MutexLock {
 public:
  explicit MutexLock(KMUTEX& mutex) : mutex_(&mutex) {
    (void)KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() { KeReleaseMutex(mutex_, FALSE); }

 private:
  KMUTEX* mutex_;
};

// Holds a spin lock, raising to DISPATCH_LEVEL.
class [[nodiscard]] SpinLock {
 public:
  explicit SpinLock(KSPIN_LOCK& lock) : lock_(&lock) { KeAcquireSpinLock(lock_, &oldIrql_); }
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;
  ~SpinLock() { KeReleaseSpinLock(lock_, oldIrql_); }

 private:
  KSPIN_LOCK* lock_;
  KIRQL oldIrql_ = PASSIVE_LEVEL;
};

// A critical region for code that holds no resource but must not be
// suspended (for example while it owns buffers a command is filling).
class [[nodiscard]] CriticalRegion {
 public:
  CriticalRegion() { KeEnterCriticalRegion(); }
  CriticalRegion(const CriticalRegion&) = delete;
  CriticalRegion& operator=(const CriticalRegion&) = delete;
  ~CriticalRegion() { KeLeaveCriticalRegion(); }
};

}  // namespace tavo
