// The simulated Filter Manager's internals: filters, their instances on
// volumes (ordered by altitude), and the hooks the I/O manager, the harness
// and the other Filter Manager parts use.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "io/io_manager.h"

struct _FLT_FILTER {
  std::uint32_t magic = 0;
  PDRIVER_OBJECT driver = nullptr;
  FLT_REGISTRATION registration{};
  std::vector<FLT_CONTEXT_REGISTRATION> contexts;
  std::array<const FLT_OPERATION_REGISTRATION*, 256> operations{};  // by major (pseudo majors wrap)
  std::vector<FLT_OPERATION_REGISTRATION> operationTable;
  ULONG altitude = 0;
  bool autoAttach = true;
  std::atomic<bool> filtering{false};
  std::atomic<bool> unregistered{false};     // FltUnregisterFilter has run: no more callbacks
  std::atomic<bool> mandatoryUnload{false};  // the unload in progress is mandatory
  std::atomic<long> references{0};           // FltObjectReference and friends
  std::atomic<long> outstandingWork{0};      // queued work items not yet finished
};

struct _FLT_VOLUME {
  std::uint32_t magic = 0;
  sim::io::Volume* volume = nullptr;
  std::vector<_FLT_INSTANCE*> instances;  // highest altitude first
  std::atomic<long> references{0};
};

struct _FLT_INSTANCE {
  std::uint32_t magic = 0;
  _FLT_FILTER* filter = nullptr;
  _FLT_VOLUME* volume = nullptr;
  std::u16string name;
  ULONG altitude = 0;
  std::atomic<bool> tearingDown{false};
  // Operations between this instance's pre and post. Counted without the
  // lock: an operation counts itself, then checks tearingDown; a teardown
  // sets tearingDown, then waits under the lock for the count to reach 0.
  std::atomic<long> activeOperations{0};
  std::atomic<long> references{0};
};

namespace sim::fltmgr {

inline constexpr std::uint32_t kFilterMagic = 0x746c4946;    // 'Filt'
inline constexpr std::uint32_t kVolumeMagic = 0x6c6f5666;    // 'fVol'
inline constexpr std::uint32_t kInstanceMagic = 0x74736e49;  // 'Inst'

// Guards filters, volumes and instances (and instance rundown counts).
std::recursive_mutex& Lock();
std::condition_variable_any& RundownChanged();

bool IsFilter(const void* p);
bool IsInstance(const void* p);

// A copy of the instances an operation passes (the volume's list may change
// meanwhile), kept inline for the usual few.
class InstanceList {
 public:
  void push_back(_FLT_INSTANCE* instance) {
    if (count_ < few_.size()) {
      few_[count_] = instance;
    } else {
      more_.push_back(instance);
    }
    ++count_;
  }
  std::size_t size() const { return count_; }
  _FLT_INSTANCE* operator[](std::size_t i) const {
    return i < few_.size() ? few_[i] : more_[i - few_.size()];
  }

 private:
  std::array<_FLT_INSTANCE*, 8> few_{};
  std::vector<_FLT_INSTANCE*> more_;
  std::size_t count_ = 0;
};

// The instances of a volume an operation passes, top first, starting below
// `below` when it is set.
InstanceList InstancesBelow(_FLT_VOLUME* volume, _FLT_INSTANCE* below);

// Reports a callback into a filter that has unloaded; returns true if so
// (the caller must then not call it).
bool CallbackAfterUnload(_FLT_FILTER* filter, const char* what);

// The IRQL pre-operation callbacks run at (PASSIVE_LEVEL, or DISPATCH_LEVEL
// when the harness asks for it).
void SetPreOperationIrql(KIRQL irql);
KIRQL PreOperationIrql();

// Altitude and automatic attachment for the next FltRegisterFilter (the
// values a real system reads from the filter's service key).
void SetNextRegistrationSettings(ULONG altitude, bool autoAttach);

// Called by the harness to unload a filter driver: runs its unload
// callback; forces the unregistration on a mandatory unload.
NTSTATUS UnloadFilter(PFLT_FILTER filter, bool mandatory);
std::vector<PFLT_FILTER> RegisteredFilters();

// Contexts and names of a filter still referenced at its unload.
void CheckFilterReferencesAtUnload(_FLT_FILTER* filter);
// Deletes the contexts of an instance being torn down.
void DeleteInstanceContexts(_FLT_INSTANCE* instance);

// Work items still queued or running: waits until none are left.
void DrainWorkItems();

// Harness hold of queued work items (see harness/threads.h).
void HoldWorkItems(bool hold);
bool WaitForHeldWorkItems(std::size_t count, std::chrono::milliseconds limit);

}  // namespace sim::fltmgr
