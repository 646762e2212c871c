// Handle tables and object reference counting.
#include "kernel/object_manager.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "nt/ntstatus.h"
#include "verifier/verifier.h"

namespace sim::kernel {

// Kernel handles carry the top bit, as on Windows.
static constexpr std::uint64_t kKernelHandleBit = 0xFFFFFFFF80000000ull;

struct HandleEntry {
  KernelObject* object;
  ACCESS_MASK access;
};

class HandleTables {
 public:
  static HandleTables& Get() {
    static HandleTables tables;
    return tables;
  }

  std::recursive_mutex lock;
  // processId -> (handle value -> entry); kernel handles under kKernelTable.
  std::map<std::uint64_t, std::map<std::uint64_t, HandleEntry>> tables;
  std::map<std::uint64_t, std::uint64_t> nextValue;
  std::unordered_map<const void*, KernelObject*> bodies;
  static constexpr std::uint64_t kKernelTable = ~0ull;

  static void AddHandle(KernelObject* object) { ++object->handles_; }
  static bool DropHandle(KernelObject* object) { return --object->handles_ == 0; }
  static void LastHandleClosed(KernelObject* object) { object->OnLastHandleClosed(); }
};

static HandleTables& Tables() {
  return HandleTables::Get();
}

void KernelObject::Reference() {
  std::lock_guard guard(Tables().lock);
  ++pointers_;
}

void KernelObject::Dereference() {
  bool last;
  {
    std::lock_guard guard(Tables().lock);
    if (pointers_ <= 0) {
      verifier::Report(verifier::Check::Other, std::string("dereference of a ") + TypeName() +
                                                   " object with no references");
      return;
    }
    last = --pointers_ == 0;
    if (last) Tables().bodies.erase(Body());
  }
  if (last) {
    OnLastReference();
    delete this;
  }
}

long KernelObject::HandleCount() const {
  std::lock_guard guard(Tables().lock);
  return static_cast<long>(handles_);
}

long KernelObject::PointerCount() const {
  std::lock_guard guard(Tables().lock);
  return static_cast<long>(pointers_);
}

void RegisterObjectBody(KernelObject* object) {
  std::lock_guard guard(Tables().lock);
  Tables().bodies[object->Body()] = object;
}

KernelObject* ObjectFromBody(const void* body) {
  std::lock_guard guard(Tables().lock);
  auto it = Tables().bodies.find(body);
  return it == Tables().bodies.end() ? nullptr : it->second;
}

bool IsKernelHandle(HANDLE handle) {
  auto value = reinterpret_cast<std::uint64_t>(handle);
  return (value & kKernelHandleBit) == kKernelHandleBit;
}

HANDLE InsertHandle(KernelObject* object, ACCESS_MASK grantedAccess, bool kernelHandle) {
  HandleTables& t = Tables();
  std::lock_guard guard(t.lock);
  const std::uint64_t table = kernelHandle ? HandleTables::kKernelTable : CurrentThread().processId;
  std::uint64_t& next = t.nextValue[table];
  next += 4;
  std::uint64_t value = kernelHandle ? (kKernelHandleBit | next) : next;
  t.tables[table][value] = HandleEntry{object, grantedAccess};
  HandleTables::AddHandle(object);
  object->Reference();
  return reinterpret_cast<HANDLE>(value);
}

static HandleEntry* Find(HANDLE handle, KPROCESSOR_MODE mode, std::uint64_t* tableOut) {
  HandleTables& t = Tables();
  const bool kernel = IsKernelHandle(handle);
  if (kernel && mode != KernelMode) return nullptr;
  const std::uint64_t table = kernel ? HandleTables::kKernelTable : CurrentThread().processId;
  auto tableIt = t.tables.find(table);
  if (tableIt == t.tables.end()) return nullptr;
  auto it = tableIt->second.find(reinterpret_cast<std::uint64_t>(handle));
  if (it == tableIt->second.end()) return nullptr;
  if (tableOut) *tableOut = table;
  return &it->second;
}

KernelObject* ReferenceHandle(HANDLE handle, KPROCESSOR_MODE mode, ACCESS_MASK* grantedAccess) {
  std::lock_guard guard(Tables().lock);
  HandleEntry* entry = Find(handle, mode, nullptr);
  if (!entry) return nullptr;
  entry->object->Reference();
  if (grantedAccess) *grantedAccess = entry->access;
  return entry->object;
}

NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode) {
  KernelObject* object;
  bool lastHandle;
  {
    std::lock_guard guard(Tables().lock);
    std::uint64_t table = 0;
    HandleEntry* entry = Find(handle, mode, &table);
    if (!entry) return STATUS_INVALID_HANDLE;
    object = entry->object;
    Tables().tables[table].erase(reinterpret_cast<std::uint64_t>(handle));
    lastHandle = HandleTables::DropHandle(object);
  }
  // Outside the table lock: cleanup may call back into the I/O path.
  if (lastHandle) HandleTables::LastHandleClosed(object);
  object->Dereference();
  return STATUS_SUCCESS;
}

std::size_t CloseProcessHandles(std::uint32_t processId) {
  std::vector<std::uint64_t> handles;
  {
    std::lock_guard guard(Tables().lock);
    auto it = Tables().tables.find(processId);
    if (it == Tables().tables.end()) return 0;
    for (auto& [value, entry] : it->second) handles.push_back(value);
  }
  // Close them as the owning process would.
  ThreadState& thread = CurrentThread();
  const std::uint32_t saved = thread.processId;
  thread.processId = processId;
  for (std::uint64_t value : handles) CloseHandle(reinterpret_cast<HANDLE>(value), UserMode);
  thread.processId = saved;
  return handles.size();
}

std::size_t LiveObjectCount() {
  std::lock_guard guard(Tables().lock);
  return Tables().bodies.size();
}

namespace {
// A fresh machine has empty handle tables. Objects still alive from an
// earlier test are the end-of-test checks' business, not the reset's: the
// tables are emptied without running close callbacks.
ResetHookRegistration resetHandles(ResetOrder::Kernel, [] {
  std::lock_guard guard(Tables().lock);
  Tables().tables.clear();
  Tables().nextValue.clear();
  Tables().bodies.clear();
});
}  // namespace

}  // namespace sim::kernel

using sim::kernel::ObjectFromBody;

// Object types are named by the KernelObject's TypeName.
struct _OBJECT_TYPE {
  const char* name;
};

namespace {
_OBJECT_TYPE threadType{"Thread"};
POBJECT_TYPE threadTypePointer = &threadType;
}  // namespace

POBJECT_TYPE* PsThreadType = &threadTypePointer;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
  if (Object == nullptr) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  ACCESS_MASK granted = 0;
  sim::kernel::KernelObject* object = sim::kernel::ReferenceHandle(Handle, AccessMode, &granted);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  if (ObjectType != nullptr && std::strcmp(ObjectType->name, object->TypeName()) != 0) {
    object->Dereference();
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  // As documented: kernel-mode callers are not checked for access.
  if (AccessMode != KernelMode && (DesiredAccess & ~granted) != 0) {
    object->Dereference();
    return STATUS_ACCESS_DENIED;
  }
  if (HandleInformation != nullptr) *HandleInformation = {0, granted};
  *Object = object->Body();
  return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  sim::kernel::KernelObject* object = ObjectFromBody(Object);
  if (!object) {
    sim::verifier::Report(sim::verifier::Check::Other, "ObfReferenceObject on an unknown object");
    return 0;
  }
  object->Reference();
  return object->PointerCount();
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  sim::kernel::KernelObject* object = ObjectFromBody(Object);
  if (!object) {
    sim::verifier::Report(sim::verifier::Check::Other, "ObfDereferenceObject on an unknown object");
    return 0;
  }
  LONG_PTR remaining = object->PointerCount() - 1;
  object->Dereference();
  return remaining;
}

NTSTATUS ZwClose(HANDLE Handle) {
  return sim::kernel::CloseHandle(Handle, KernelMode);
}
