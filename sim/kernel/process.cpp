// Processes: the process table, EPROCESS objects, PsXxx process routines,
// ZwOpenProcess and ZwQueryInformationProcess.
//
// Choices where the documentation is silent:
//   * an exited process is gone for lookups by id: PsLookupProcessByProcessId
//     and ZwOpenProcess fail with STATUS_INVALID_CID, even while references
//     to its object remain (those keep working, e.g. a handle can still be
//     queried and reports the exit status). Ids are never reused before the
//     machine is reset;
//   * ProcessImageFileName writes the UNICODE_STRING and, right after it,
//     the name with a terminating NUL (MaximumLength = Length + 2); the
//     length it needs is sizeof(UNICODE_STRING) + MaximumLength;
//   * the System process has no image file: ProcessImageFileName returns an
//     empty string (Length and MaximumLength 0, Buffer NULL);
//   * ZwOpenProcess ignores ClientId->UniqueThread, and kernel-mode callers
//     get the access they ask for (no access check, as for any KernelMode
//     caller);
//   * fixed-size classes (ProcessBasicInformation, ProcessSessionInformation)
//     need the exact size, else STATUS_INFO_LENGTH_MISMATCH with ReturnLength
//     left alone; classes not simulated give STATUS_INVALID_INFO_CLASS;
//   * PROCESS_BASIC_INFORMATION has no PEB (NULL), affinity 1 and base
//     priority 8.
#include "kernel/process_table.h"

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "kernel/object_manager.h"
#include "kernel/thread_state.h"
#include "nt/ntstatus.h"
#include "nt/process.h"
#include "verifier/verifier.h"

// The x64 layouts drivers compile against.
static_assert(sizeof(PROCESS_BASIC_INFORMATION) == 48);
static_assert(FIELD_OFFSET(PROCESS_BASIC_INFORMATION, UniqueProcessId) == 32);
static_assert(sizeof(PROCESS_SESSION_INFORMATION) == 4);

namespace sim::kernel {
class ProcessObject;
}

// What drivers see as a PEPROCESS.
struct _EPROCESS {
  sim::kernel::ProcessObject* object;
};

namespace sim::kernel {

class ProcessObject final : public KernelObject {
 public:
  explicit ProcessObject(ProcessRecord record) : record(std::move(record)) {
    body_.object = this;
    RegisterObjectBody(this);
  }
  const char* TypeName() const override { return "Process"; }
  void* Body() override { return &body_; }
  PEPROCESS Eprocess() { return &body_; }

  ProcessRecord record;  // guarded by the table lock

 private:
  _EPROCESS body_{};
};

namespace {

constexpr std::uint32_t kFirstCreatedProcessId = kDefaultProcessId + 4;
constexpr KPRIORITY kNormalBasePriority = 8;

struct Table {
  std::mutex lock;
  bool booted = false;
  std::map<std::uint32_t, ProcessObject*> processes;  // each holds the table's reference
  std::uint32_t nextId = kFirstCreatedProcessId;
};

// Never destroyed: processes live until the next reset, even at exit.
Table& GetTable() {
  static Table* table = new Table;
  return *table;
}

std::string ImageNameOf(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'\\');
  return harness::ToUtf8(slash == std::u16string::npos ? path : path.substr(slash + 1));
}

ProcessObject* AddLocked(Table& table, std::uint32_t id, std::uint32_t parentId,
                         std::uint32_t sessionId, std::u16string imagePath, std::string imageName) {
  ProcessRecord record;
  record.id = id;
  record.parentId = parentId;
  record.sessionId = sessionId;
  record.imagePath = std::move(imagePath);
  record.imageName = std::move(imageName);
  record.exitStatus = STATUS_PENDING;
  auto* object = new ProcessObject(std::move(record));
  table.processes[id] = object;
  return object;
}

// The table of a booted machine: System and the default process exist from
// the first use after a reset.
Table& Booted(std::unique_lock<std::mutex>& guard) {
  Table& table = GetTable();
  guard = std::unique_lock(table.lock);
  if (!table.booted) {
    table.booted = true;
    AddLocked(table, kSystemProcessId, 0, 0, u"", "System")->record.account =
        Account::LocalSystem;
    std::u16string image = kDefaultProcessImage;
    AddLocked(table, kDefaultProcessId, kSystemProcessId, kDefaultSessionId, image,
              ImageNameOf(image));
  }
  return table;
}

ProcessObject* FindLocked(Table& table, std::uint32_t id) {
  auto it = table.processes.find(id);
  return it == table.processes.end() ? nullptr : it->second;
}

std::uint32_t IdFromHandle(HANDLE id) {
  const auto value = reinterpret_cast<std::uint64_t>(id);
  return value > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(value);
}

void CheckIrql(KIRQL maximum, const char* routine) {
  const KIRQL irql = CurrentThread().irql;
  if (irql > maximum) {
    verifier::Report(verifier::Check::Irql, std::string(routine) + " called at IRQL " +
                                                std::to_string(irql) + " (maximum " +
                                                std::to_string(maximum) + ")");
  }
}

// After a reset the test thread runs as the default process; the table is
// rebuilt at its next use. This runs after the other kernel resets (the
// object manager forgets every object body, system threads are joined), so
// nothing they do can leave a process object from the old machine behind.
constexpr auto kAfterKernelReset =
    static_cast<ResetOrder>(static_cast<int>(ResetOrder::Kernel) + 1);
ResetHookRegistration resetProcesses(kAfterKernelReset, [] {
  std::vector<ProcessObject*> dropped;
  {
    Table& table = GetTable();
    std::lock_guard guard(table.lock);
    for (auto& [id, object] : table.processes) dropped.push_back(object);
    table.processes.clear();
    table.booted = false;
    table.nextId = kFirstCreatedProcessId;
  }
  for (ProcessObject* object : dropped) object->Dereference();
  CurrentThread().processId = kDefaultProcessId;
});

// Every reference a driver took (PsLookupProcessByProcessId,
// ObReferenceObject) must be released by the end of the test.
EndOfTestCheckRegistration checkProcessReferences([] {
  std::vector<std::string> leaks;
  {
    Table& table = GetTable();
    std::lock_guard guard(table.lock);
    for (auto& [id, object] : table.processes) {
      const long extra = object->PointerCount() - 1 - object->HandleCount();
      if (extra > 0) {
        leaks.push_back(std::to_string(extra) + " reference(s) to process " + std::to_string(id) +
                        " (" + object->record.imageName + ") still held at the end of the test");
      }
    }
  }
  for (auto& leak : leaks) verifier::Report(verifier::Check::Process, leak);
});

}  // namespace

std::uint32_t CreateProcess(std::u16string imagePath, std::uint32_t sessionId,
                            std::uint32_t parentId) {
  std::unique_lock<std::mutex> guard;
  Table& table = Booted(guard);
  const std::uint32_t id = table.nextId;
  table.nextId += 4;
  std::string name = ImageNameOf(imagePath);
  AddLocked(table, id, parentId, sessionId, std::move(imagePath), std::move(name));
  return id;
}

bool ExitProcess(std::uint32_t processId, NTSTATUS exitStatus) {
  {
    std::unique_lock<std::mutex> guard;
    Table& table = Booted(guard);
    ProcessObject* object = FindLocked(table, processId);
    if (object == nullptr || object->record.exited || processId == kSystemProcessId) return false;
    object->record.exited = true;
    object->record.exitStatus = exitStatus;
  }
  // Outside the table lock: closing a file handle runs cleanup callbacks.
  CloseProcessHandles(processId);
  return true;
}

std::optional<ProcessRecord> FindProcess(std::uint32_t processId) {
  std::unique_lock<std::mutex> guard;
  Table& table = Booted(guard);
  ProcessObject* object = FindLocked(table, processId);
  if (object == nullptr) return std::nullopt;
  return object->record;
}

bool SetProcessAccount(std::uint32_t processId, Account account) {
  std::unique_lock<std::mutex> guard;
  Table& table = Booted(guard);
  ProcessObject* object = FindLocked(table, processId);
  if (object == nullptr || processId == kSystemProcessId) return false;
  object->record.account = account;
  return true;
}

PEPROCESS ProcessBody(std::uint32_t processId) {
  std::unique_lock<std::mutex> guard;
  Table& table = Booted(guard);
  ProcessObject* object = FindLocked(table, processId);
  return object == nullptr ? nullptr : object->Eprocess();
}

namespace {

// The process object behind a handle (or the current-process pseudo-handle),
// referenced; null with the failure status otherwise.
ProcessObject* ReferenceProcessHandle(HANDLE handle, NTSTATUS* status) {
  if (handle == NtCurrentProcess()) {
    std::unique_lock<std::mutex> guard;
    Table& table = Booted(guard);
    ProcessObject* object = FindLocked(table, CurrentThread().processId);
    if (object == nullptr) {
      *status = STATUS_INVALID_HANDLE;
      return nullptr;
    }
    object->Reference();
    return object;
  }
  KernelObject* object = ReferenceHandle(handle, KernelMode);
  if (object == nullptr) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  auto* process = dynamic_cast<ProcessObject*>(object);
  if (process == nullptr) {
    object->Dereference();
    *status = STATUS_OBJECT_TYPE_MISMATCH;
    return nullptr;
  }
  return process;
}

NTSTATUS QueryImageFileName(const ProcessRecord& record, PVOID buffer, ULONG length,
                            PULONG returnLength) {
  const ULONG nameBytes = static_cast<ULONG>(record.imagePath.size() * sizeof(WCHAR));
  const ULONG maximumLength = nameBytes == 0 ? 0 : nameBytes + sizeof(WCHAR);
  const ULONG needed = sizeof(UNICODE_STRING) + maximumLength;
  if (returnLength != nullptr) *returnLength = needed;
  if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;

  auto* name = static_cast<UNICODE_STRING*>(buffer);
  name->Length = static_cast<USHORT>(nameBytes);
  name->MaximumLength = static_cast<USHORT>(maximumLength);
  name->Buffer = nullptr;
  if (maximumLength != 0) {
    name->Buffer = reinterpret_cast<PWCH>(name + 1);
    std::memcpy(name->Buffer, record.imagePath.data(), nameBytes);
    name->Buffer[nameBytes / sizeof(WCHAR)] = L'\0';
  }
  return STATUS_SUCCESS;
}

}  // namespace

}  // namespace sim::kernel

using sim::kernel::CurrentThread;
using sim::kernel::ProcessObject;

PEPROCESS IoGetCurrentProcess(void) {
  const std::uint32_t id = CurrentThread().processId;
  PEPROCESS process = sim::kernel::ProcessBody(id);
  if (process == nullptr) {
    sim::verifier::Report(
        sim::verifier::Check::Process,
        "the calling thread runs as process " + std::to_string(id) + ", which does not exist");
  }
  return process;
}

PEPROCESS PsGetCurrentProcess(void) {
  return IoGetCurrentProcess();
}

HANDLE PsGetCurrentProcessId(void) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(CurrentThread().processId));
}

ULONG PsGetCurrentProcessSessionId(void) {
  auto record = sim::kernel::FindProcess(CurrentThread().processId);
  return record ? record->sessionId : 0;
}

HANDLE PsGetProcessId(PEPROCESS Process) {
  auto* object = dynamic_cast<ProcessObject*>(sim::kernel::ObjectFromBody(Process));
  if (object == nullptr) {
    sim::verifier::Report(sim::verifier::Check::Process,
                          "PsGetProcessId on something that is not a process");
    return nullptr;
  }
  // The id never changes after creation.
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(object->record.id));
}

NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process) {
  sim::kernel::CheckIrql(APC_LEVEL, "PsLookupProcessByProcessId");
  if (Process == nullptr) return STATUS_INVALID_PARAMETER;
  std::unique_lock<std::mutex> guard;
  auto& table = sim::kernel::Booted(guard);
  ProcessObject* object = sim::kernel::FindLocked(table, sim::kernel::IdFromHandle(ProcessId));
  if (object == nullptr || object->record.exited) return STATUS_INVALID_CID;
  object->Reference();
  *Process = object->Eprocess();
  return STATUS_SUCCESS;
}

NTSTATUS ZwOpenProcess(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, PCLIENT_ID ClientId) {
  sim::kernel::CheckIrql(PASSIVE_LEVEL, "ZwOpenProcess");
  // Generic rights, MAXIMUM_ALLOWED and ACCESS_SYSTEM_SECURITY besides the
  // process's own rights.
  constexpr ACCESS_MASK kValidAccess = PROCESS_ALL_ACCESS | 0xF0000000u | 0x02000000u | 0x01000000u;
  if (ProcessHandle == nullptr || ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
  if (ObjectAttributes->ObjectName != nullptr || ClientId == nullptr)
    return STATUS_INVALID_PARAMETER_MIX;
  if ((DesiredAccess & ~kValidAccess) != 0) return STATUS_INVALID_PARAMETER;

  std::unique_lock<std::mutex> guard;
  auto& table = sim::kernel::Booted(guard);
  ProcessObject* object =
      sim::kernel::FindLocked(table, sim::kernel::IdFromHandle(ClientId->UniqueProcess));
  if (object == nullptr || object->record.exited) return STATUS_INVALID_CID;
  const bool kernelHandle = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
  *ProcessHandle = sim::kernel::InsertHandle(object, DesiredAccess, kernelHandle);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                   PVOID ProcessInformation, ULONG ProcessInformationLength,
                                   PULONG ReturnLength) {
  sim::kernel::CheckIrql(PASSIVE_LEVEL, "ZwQueryInformationProcess");
  NTSTATUS status = STATUS_SUCCESS;
  ProcessObject* object = sim::kernel::ReferenceProcessHandle(ProcessHandle, &status);
  if (object == nullptr) return status;
  sim::kernel::ProcessRecord record;
  {
    std::unique_lock<std::mutex> guard;
    sim::kernel::Booted(guard);
    record = object->record;
  }
  object->Dereference();

  switch (ProcessInformationClass) {
    case ProcessBasicInformation: {
      if (ProcessInformationLength != sizeof(PROCESS_BASIC_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
      auto* info = static_cast<PROCESS_BASIC_INFORMATION*>(ProcessInformation);
      info->ExitStatus = record.exitStatus;
      info->PebBaseAddress = nullptr;
      info->AffinityMask = 1;
      info->BasePriority = sim::kernel::kNormalBasePriority;
      info->UniqueProcessId = record.id;
      info->InheritedFromUniqueProcessId = record.parentId;
      if (ReturnLength != nullptr) *ReturnLength = sizeof(PROCESS_BASIC_INFORMATION);
      return STATUS_SUCCESS;
    }
    case ProcessSessionInformation: {
      if (ProcessInformationLength != sizeof(PROCESS_SESSION_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
      static_cast<PROCESS_SESSION_INFORMATION*>(ProcessInformation)->SessionId = record.sessionId;
      if (ReturnLength != nullptr) *ReturnLength = sizeof(PROCESS_SESSION_INFORMATION);
      return STATUS_SUCCESS;
    }
    case ProcessImageFileName:
      return sim::kernel::QueryImageFileName(record, ProcessInformation, ProcessInformationLength,
                                             ReturnLength);
    default:
      return STATUS_INVALID_INFO_CLASS;
  }
}
