// Filter registration, instances and volumes: FltRegisterFilter,
// FltStartFiltering, FltUnregisterFilter, automatic and manual attachment,
// detachment with its teardown callbacks, and object references.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "fltmgr/filter_manager.h"
#include "fltmgr/ports_internal.h"
#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "verifier/verifier.h"

namespace sim::fltmgr {
namespace {

struct Registry {
  std::vector<std::unique_ptr<_FLT_FILTER>> filters;
  std::vector<std::unique_ptr<_FLT_VOLUME>> volumes;
  std::vector<std::unique_ptr<_FLT_INSTANCE>> instances;  // kept until reset: handles stay valid
  ULONG nextAltitude = 0;
  bool nextAutoAttach = true;
  bool nextSettingsGiven = false;
  std::atomic<KIRQL> preIrql{PASSIVE_LEVEL};
};

Registry& Reg() {
  static Registry registry;
  return registry;
}

std::u16string ToU16(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  auto up = [](char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

FLT_FILESYSTEM_TYPE FileSystemType() {
  return FLT_FSTYPE_NTFS;
}

// Builds an instance, asks the filter's InstanceSetupCallback and links it
// into the volume when the filter accepts.
NTSTATUS SetUpInstance(_FLT_FILTER* filter, _FLT_VOLUME* volume, std::u16string name,
                       FLT_INSTANCE_SETUP_FLAGS flags, _FLT_INSTANCE** result) {
  {
    std::lock_guard guard(Lock());
    for (_FLT_INSTANCE* existing : volume->instances) {
      if (existing->filter != filter) continue;
      if (EqualNoCase(existing->name, name)) return STATUS_FLT_INSTANCE_NAME_COLLISION;
      if (existing->altitude == filter->altitude) return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
    }
  }
  auto instance = std::make_unique<_FLT_INSTANCE>();
  instance->magic = kInstanceMagic;
  instance->filter = filter;
  instance->volume = volume;
  instance->name = std::move(name);
  instance->altitude = filter->altitude;
  _FLT_INSTANCE* raw = instance.get();
  {
    std::lock_guard guard(Lock());
    Reg().instances.push_back(std::move(instance));
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (filter->registration.InstanceSetupCallback) {
    FLT_RELATED_OBJECTS objects{
        sizeof(FLT_RELATED_OBJECTS), 0, filter, volume, raw, nullptr, nullptr};
    status = filter->registration.InstanceSetupCallback(
        &objects, flags, FILE_DEVICE_DISK_FILE_SYSTEM, FileSystemType());
  }
  if (!NT_SUCCESS(status)) {
    // A refused instance never becomes visible; it stays parked until reset.
    std::lock_guard guard(Lock());
    raw->tearingDown = true;
    return status == STATUS_FLT_DO_NOT_ATTACH ? STATUS_FLT_DO_NOT_ATTACH : status;
  }
  {
    std::lock_guard guard(Lock());
    auto& list = volume->instances;
    auto pos = std::find_if(list.begin(), list.end(),
                            [&](_FLT_INSTANCE* other) { return other->altitude < raw->altitude; });
    list.insert(pos, raw);
  }
  if (result) *result = raw;
  return STATUS_SUCCESS;
}

std::u16string DefaultInstanceName(_FLT_FILTER* filter) {
  std::u16string name = u"Instance";
  for (char c : std::to_string(filter->altitude)) name += static_cast<char16_t>(c);
  return name;
}

// Tears an instance down: teardown-start, rundown of its operations,
// teardown-complete, then its contexts go.
void TearDown(_FLT_INSTANCE* instance, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
  _FLT_FILTER* filter = instance->filter;
  {
    std::lock_guard guard(Lock());
    if (instance->tearingDown) return;
    instance->tearingDown = true;
  }
  FLT_RELATED_OBJECTS objects{
      sizeof(FLT_RELATED_OBJECTS), 0, filter, instance->volume, instance, nullptr, nullptr};
  if (filter->registration.InstanceTeardownStartCallback) {
    filter->registration.InstanceTeardownStartCallback(&objects, reason);
  }
  {
    std::unique_lock guard(Lock());
    RundownChanged().wait(guard, [&] { return instance->activeOperations == 0; });
    auto& list = instance->volume->instances;
    list.erase(std::remove(list.begin(), list.end(), instance), list.end());
  }
  if (filter->registration.InstanceTeardownCompleteCallback) {
    filter->registration.InstanceTeardownCompleteCallback(&objects, reason);
  }
  DeleteInstanceContexts(instance);
}

_FLT_VOLUME* EnsureFilterVolume(io::Volume* volume) {
  std::lock_guard guard(Lock());
  if (volume->filterVolume) return volume->filterVolume;
  auto fv = std::make_unique<_FLT_VOLUME>();
  fv->magic = kVolumeMagic;
  fv->volume = volume;
  volume->filterVolume = fv.get();
  Reg().volumes.push_back(std::move(fv));
  return volume->filterVolume;
}

// Instances are kept until reset, so an instance once found stays one until
// then: each thread remembers the last one it checked, for this reset's
// generation (context calls ask for the same instance over and over).
std::atomic<std::uint64_t> resetGeneration{0};
struct CheckedInstance {
  const void* instance = nullptr;
  std::uint64_t generation = 0;
};
thread_local CheckedInstance lastChecked;

kernel::ResetHookRegistration resetFilters(kernel::ResetOrder::FilterManager, [] {
  DrainWorkItems();
  std::lock_guard guard(Lock());
  ++resetGeneration;
  Reg().filters.clear();
  Reg().volumes.clear();
  Reg().instances.clear();
  Reg().nextSettingsGiven = false;
  Reg().preIrql = PASSIVE_LEVEL;
});

}  // namespace

std::recursive_mutex& Lock() {
  static std::recursive_mutex lock;
  return lock;
}

std::condition_variable_any& RundownChanged() {
  static std::condition_variable_any cv;
  return cv;
}

bool IsFilter(const void* p) {
  if (!p) return false;
  std::lock_guard guard(Lock());
  for (auto& f : Reg().filters) {
    if (f.get() == p) return true;
  }
  return false;
}

bool IsInstance(const void* p) {
  if (!p) return false;
  const std::uint64_t generation = resetGeneration.load();
  if (lastChecked.instance == p && lastChecked.generation == generation) return true;
  std::lock_guard guard(Lock());
  for (auto& i : Reg().instances) {
    if (i.get() == p) {
      lastChecked = CheckedInstance{p, generation};
      return true;
    }
  }
  return false;
}

InstanceList InstancesBelow(_FLT_VOLUME* volume, _FLT_INSTANCE* below) {
  std::lock_guard guard(Lock());
  InstanceList result;
  if (!volume) return result;
  bool take = below == nullptr;
  for (_FLT_INSTANCE* instance : volume->instances) {
    if (take) result.push_back(instance);
    if (instance == below) take = true;
  }
  if (below && !take) {
    // The instance has gone: keep to the altitude below it.
    for (_FLT_INSTANCE* instance : volume->instances) {
      if (instance->altitude < below->altitude) result.push_back(instance);
    }
  }
  return result;
}

bool CallbackAfterUnload(_FLT_FILTER* filter, const char* what) {
  if (!filter || !filter->unregistered) return false;
  verifier::Report(verifier::Check::FilterManager,
                   std::string("callback into an unloaded filter: ") + what);
  return true;
}

void SetPreOperationIrql(KIRQL irql) {
  Reg().preIrql = irql;
}
KIRQL PreOperationIrql() {
  return Reg().preIrql;
}

void SetNextRegistrationSettings(ULONG altitude, bool autoAttach) {
  std::lock_guard guard(Lock());
  Reg().nextAltitude = altitude;
  Reg().nextAutoAttach = autoAttach;
  Reg().nextSettingsGiven = true;
}

std::vector<PFLT_FILTER> RegisteredFilters() {
  std::lock_guard guard(Lock());
  std::vector<PFLT_FILTER> result;
  for (auto& f : Reg().filters) {
    if (!f->unregistered) result.push_back(f.get());
  }
  return result;
}

// A volume was mounted: filters that are filtering attach automatically.
void OnVolumeMounted(io::Volume* volume) {
  _FLT_VOLUME* fv = EnsureFilterVolume(volume);
  for (PFLT_FILTER filter : RegisteredFilters()) {
    if (filter->filtering && filter->autoAttach) {
      SetUpInstance(
          filter, fv, DefaultInstanceName(filter),
          FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT | FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME,
          nullptr);
    }
  }
}

NTSTATUS UnloadFilter(PFLT_FILTER filter, bool mandatory) {
  if (!IsFilter(filter) || filter->unregistered) return STATUS_FLT_FILTER_NOT_FOUND;
  // Without an unload callback a filter cannot be unloaded.
  if (!filter->registration.FilterUnloadCallback) return STATUS_FLT_DO_NOT_DETACH;
  filter->mandatoryUnload = mandatory;
  NTSTATUS status =
      filter->registration.FilterUnloadCallback(mandatory ? FLTFL_FILTER_UNLOAD_MANDATORY : 0);
  if (!NT_SUCCESS(status) && !mandatory) {
    filter->mandatoryUnload = false;
    return status;
  }
  if (!filter->unregistered) {
    verifier::Report(verifier::Check::FilterManager,
                     "the filter unload callback returned without calling FltUnregisterFilter");
    FltUnregisterFilter(filter);
  }
  return STATUS_SUCCESS;
}

}  // namespace sim::fltmgr

using namespace sim::fltmgr;

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration,
                                  PFLT_FILTER* RetFilter) {
  if (!Driver || !Registration || !RetFilter) return STATUS_INVALID_PARAMETER;
  *RetFilter = nullptr;
  if (Registration->Size < FIELD_OFFSET(FLT_REGISTRATION, TransactionNotificationCallback)) {
    return STATUS_INVALID_PARAMETER;
  }
  const USHORT version = Registration->Version;
  if ((version >> 8) != 2 || version > FLT_REGISTRATION_VERSION_0203)
    return STATUS_INVALID_PARAMETER;

  auto filter = std::make_unique<_FLT_FILTER>();
  filter->magic = kFilterMagic;
  filter->driver = Driver;
  // Copy only the members the declared version has.
  const size_t copy = std::min<size_t>(Registration->Size, sizeof(FLT_REGISTRATION));
  std::memcpy(&filter->registration, Registration, copy);
  if (version < FLT_REGISTRATION_VERSION_0202)
    filter->registration.NormalizeNameComponentExCallback = nullptr;
  if (version < FLT_REGISTRATION_VERSION_0203)
    filter->registration.SectionNotificationCallback = nullptr;

  // The operation table ends with IRP_MJ_OPERATION_END; a major may appear once.
  if (const FLT_OPERATION_REGISTRATION* op = Registration->OperationRegistration) {
    for (int n = 0;; ++op, ++n) {
      if (n > 512) return STATUS_INVALID_PARAMETER;  // no terminator
      if (op->MajorFunction == IRP_MJ_OPERATION_END) break;
      // A minifilter cannot register a post-operation for shutdown. The
      // documentation names no status for the refusal; this is the one
      // FltRegisterFilter gives for other malformed tables.
      if (op->MajorFunction == IRP_MJ_SHUTDOWN && op->PostOperation) return STATUS_INVALID_PARAMETER;
      filter->operationTable.push_back(*op);
    }
    for (auto& entry : filter->operationTable) {
      if (filter->operations[entry.MajorFunction]) return STATUS_FLT_DUPLICATE_ENTRY;
      filter->operations[entry.MajorFunction] = &entry;
    }
  }
  // Context registrations end with FLT_CONTEXT_END; each names a known type
  // and a size (or allocate/free callbacks that go together).
  if (const FLT_CONTEXT_REGISTRATION* ctx = Registration->ContextRegistration) {
    for (int n = 0;; ++ctx, ++n) {
      if (n > 256) return STATUS_FLT_INVALID_CONTEXT_REGISTRATION;
      if (ctx->ContextType == FLT_CONTEXT_END) break;
      const bool knownType = ctx->ContextType != 0 && (ctx->ContextType & ~FLT_ALL_CONTEXTS) == 0 &&
                             (ctx->ContextType & (ctx->ContextType - 1)) == 0;
      const bool callbacksPaired =
          (ctx->ContextAllocateCallback == nullptr) == (ctx->ContextFreeCallback == nullptr);
      const bool sized = ctx->ContextAllocateCallback != nullptr || ctx->Size != 0;
      if (!knownType || !callbacksPaired || !sized) return STATUS_FLT_INVALID_CONTEXT_REGISTRATION;
      filter->contexts.push_back(*ctx);
    }
  }
  {
    std::lock_guard guard(Lock());
    auto& reg = Reg();
    if (reg.nextSettingsGiven) {
      filter->altitude = reg.nextAltitude;
      filter->autoAttach = reg.nextAutoAttach;
      reg.nextSettingsGiven = false;
    } else {
      filter->altitude = 370000 - static_cast<ULONG>(reg.filters.size()) * 10;
    }
    *RetFilter = filter.get();
    reg.filters.push_back(std::move(filter));
  }
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter) {
  if (!IsFilter(Filter)) return STATUS_INVALID_PARAMETER;
  if (Filter->filtering) return STATUS_INVALID_PARAMETER;
  Filter->filtering = true;
  if (!Filter->autoAttach) return STATUS_SUCCESS;
  for (sim::io::Volume* volume : sim::io::AllVolumes()) {
    _FLT_VOLUME* fv = EnsureFilterVolume(volume);
    SetUpInstance(Filter, fv, DefaultInstanceName(Filter),
                  FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT, nullptr);
  }
  return STATUS_SUCCESS;
}

VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter) {
  if (!IsFilter(Filter) || Filter->unregistered) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltUnregisterFilter of an unknown filter");
    return;
  }
  const FLT_INSTANCE_TEARDOWN_FLAGS reason =
      FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD |
      (Filter->mandatoryUnload ? FLTFL_INSTANCE_TEARDOWN_MANDATORY_FILTER_UNLOAD : 0);
  std::vector<_FLT_INSTANCE*> instances;
  {
    std::lock_guard guard(Lock());
    for (auto& fv : Reg().volumes) {
      for (_FLT_INSTANCE* instance : fv->instances) {
        if (instance->filter == Filter) instances.push_back(instance);
      }
    }
  }
  // References the filter holds with FltObjectReference (or the Flt*
  // routines that return a referenced filter or instance) are rundown
  // references: Windows waits for them here, so an unload with one left
  // never finishes. The sim reports them instead of waiting.
  for (_FLT_INSTANCE* instance : instances) {
    if (const long held = instance->references.load(); held > 0) {
      sim::verifier::Report(sim::verifier::Check::FilterManager,
                            "FltUnregisterFilter with " + std::to_string(held) +
                                " reference(s) still held on an instance of the filter");
    }
  }
  if (const long held = Filter->references.load(); held > 0) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltUnregisterFilter with " + std::to_string(held) +
                              " reference(s) still held on the filter");
  }
  for (_FLT_INSTANCE* instance : instances) TearDown(instance, reason);
  // Ports the filter left open are reported and closed, its connections
  // disconnected, as the Filter Manager does when a filter goes.
  ClosePortsOfFilter(Filter);
  // Queued work items hold the filter; they finish before it goes.
  while (Filter->outstandingWork.load() > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Filter->filtering = false;
  Filter->unregistered = true;
  CheckFilterReferencesAtUnload(Filter);
}

NTSTATUS FLTAPI FltGetVolumeFromName(PFLT_FILTER Filter, PCUNICODE_STRING VolumeName,
                                     PFLT_VOLUME* RetVolume) {
  if (!IsFilter(Filter) || !VolumeName || !RetVolume) return STATUS_INVALID_PARAMETER;
  *RetVolume = nullptr;
  sim::io::Volume* volume = sim::io::FindVolume(ToU16(VolumeName));
  if (!volume) return STATUS_FLT_VOLUME_NOT_FOUND;
  _FLT_VOLUME* fv = EnsureFilterVolume(volume);
  ++fv->references;
  *RetVolume = fv;
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetVolumeName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeName,
                                 PULONG BufferSizeNeeded) {
  if (!Volume || Volume->magic != kVolumeMagic) return STATUS_INVALID_PARAMETER;
  const std::u16string& name = Volume->volume->deviceName;
  const ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  if (BufferSizeNeeded) *BufferSizeNeeded = bytes;
  if (!VolumeName) return STATUS_BUFFER_TOO_SMALL;
  if (VolumeName->MaximumLength < bytes) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(VolumeName->Buffer, name.data(), bytes);
  VolumeName->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltAttachVolume(PFLT_FILTER Filter, PFLT_VOLUME Volume,
                                PCUNICODE_STRING InstanceName, PFLT_INSTANCE* RetInstance) {
  if (RetInstance) *RetInstance = nullptr;
  if (!IsFilter(Filter) || !Volume || Volume->magic != kVolumeMagic)
    return STATUS_INVALID_PARAMETER;
  if (!Filter->filtering) return STATUS_FLT_FILTER_NOT_READY;
  std::u16string name = InstanceName ? ToU16(InstanceName) : DefaultInstanceName(Filter);
  _FLT_INSTANCE* instance = nullptr;
  NTSTATUS status =
      SetUpInstance(Filter, Volume, name, FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT, &instance);
  if (NT_SUCCESS(status) && RetInstance) {
    ++instance->references;
    *RetInstance = instance;
  }
  return status;
}

NTSTATUS FLTAPI FltDetachVolume(PFLT_FILTER Filter, PFLT_VOLUME Volume,
                                PCUNICODE_STRING InstanceName) {
  if (!IsFilter(Filter) || !Volume || Volume->magic != kVolumeMagic)
    return STATUS_INVALID_PARAMETER;
  _FLT_INSTANCE* instance = nullptr;
  {
    std::lock_guard guard(Lock());
    const std::u16string name = ToU16(InstanceName);
    for (_FLT_INSTANCE* candidate : Volume->instances) {
      if (candidate->filter == Filter && (!InstanceName || EqualNoCase(candidate->name, name))) {
        instance = candidate;
        break;
      }
    }
  }
  if (!instance) return STATUS_FLT_INSTANCE_NOT_FOUND;
  // A filter without a query-teardown callback cannot be detached by request.
  auto query = Filter->registration.InstanceQueryTeardownCallback;
  if (!query) return STATUS_FLT_DO_NOT_DETACH;
  FLT_RELATED_OBJECTS objects{
      sizeof(FLT_RELATED_OBJECTS), 0, Filter, Volume, instance, nullptr, nullptr};
  NTSTATUS status = query(&objects, 0);
  if (!NT_SUCCESS(status)) return status;
  TearDown(instance, FLTFL_INSTANCE_TEARDOWN_MANUAL);
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetVolumeFromInstance(PFLT_INSTANCE Instance, PFLT_VOLUME* RetVolume) {
  if (!IsInstance(Instance) || !RetVolume) return STATUS_INVALID_PARAMETER;
  ++Instance->volume->references;
  *RetVolume = Instance->volume;
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetFilterFromInstance(PFLT_INSTANCE Instance, PFLT_FILTER* RetFilter) {
  if (!IsInstance(Instance) || !RetFilter) return STATUS_INVALID_PARAMETER;
  ++Instance->filter->references;
  *RetFilter = Instance->filter;
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetVolumeInstanceFromName(PFLT_FILTER Filter, PFLT_VOLUME Volume,
                                             PCUNICODE_STRING InstanceName,
                                             PFLT_INSTANCE* RetInstance) {
  if (!IsFilter(Filter) || !Volume || Volume->magic != kVolumeMagic || !RetInstance) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard guard(Lock());
  const std::u16string name = ToU16(InstanceName);
  for (_FLT_INSTANCE* candidate : Volume->instances) {
    if (candidate->filter == Filter && (!InstanceName || EqualNoCase(candidate->name, name))) {
      ++candidate->references;
      *RetInstance = candidate;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_FLT_INSTANCE_NOT_FOUND;
}

NTSTATUS FLTAPI FltObjectReference(PVOID FltObject) {
  auto magic = FltObject ? *static_cast<std::uint32_t*>(FltObject) : 0;
  if (magic == kFilterMagic) {
    auto* filter = static_cast<_FLT_FILTER*>(FltObject);
    if (filter->unregistered) return STATUS_FLT_DELETING_OBJECT;
    ++filter->references;
  } else if (magic == kInstanceMagic) {
    auto* instance = static_cast<_FLT_INSTANCE*>(FltObject);
    if (instance->tearingDown) return STATUS_FLT_DELETING_OBJECT;
    ++instance->references;
  } else if (magic == kVolumeMagic) {
    ++static_cast<_FLT_VOLUME*>(FltObject)->references;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

VOID FLTAPI FltObjectDereference(PVOID FltObject) {
  auto magic = FltObject ? *static_cast<std::uint32_t*>(FltObject) : 0;
  std::atomic<long>* count = nullptr;
  if (magic == kFilterMagic) count = &static_cast<_FLT_FILTER*>(FltObject)->references;
  if (magic == kInstanceMagic) count = &static_cast<_FLT_INSTANCE*>(FltObject)->references;
  if (magic == kVolumeMagic) count = &static_cast<_FLT_VOLUME*>(FltObject)->references;
  if (!count || count->fetch_sub(1) <= 0) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltObjectDereference of an object without references");
    if (count) ++*count;
  }
}
