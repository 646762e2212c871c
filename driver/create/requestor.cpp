// Image names of requesting processes and the records of virtual opens.
#include "requestor.h"

#include "../support/debug.h"
#include "../support/pool.h"

namespace tavo {
namespace {

// Room for ProcessImageFileName: a UNICODE_STRING and 255 characters.
constexpr ULONG kImageNameQueryBytes = 526;

// Closes a kernel handle when it goes out of scope.
class KernelHandle {
 public:
  KernelHandle() = default;
  KernelHandle(const KernelHandle&) = delete;
  KernelHandle& operator=(const KernelHandle&) = delete;
  ~KernelHandle() { Close(); }
  HANDLE* Receive() { return &handle_; }
  HANDLE Get() const { return handle_; }
  void Close() {
    if (handle_ != nullptr) ZwClose(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The characters after the last backslash, the final character never
// counting as one; false when there is none.
bool LastComponent(const UNICODE_STRING& path, USHORT* start) {
  const LONG count = path.Length / sizeof(WCHAR);
  for (LONG i = count - 2; i >= 0; --i) {
    if (path.Buffer[i] == L'\\') {
      *start = static_cast<USHORT>(i + 1);
      return true;
    }
  }
  return false;
}

}  // namespace

NTSTATUS GetProcessImageName(OwnedString* name, HANDLE processId) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
  CLIENT_ID client{processId, nullptr};
  KernelHandle process;
  NTSTATUS status = ZwOpenProcess(process.Receive(), PROCESS_QUERY_INFORMATION, &attributes, &client);
  if (!NT_SUCCESS(status)) {
    TAVO_PRINT("[KDVX] CreateProcessNotifyCallback ZwOpenProcess for process 0x%p failed; "
               "status 0x%08X.\n",
               processId, status);
    return status;
  }
  PoolBuffer query = PoolBuffer::Allocate(PagedPool, kImageNameQueryBytes);
  if (!query) return status;

  ULONG returned = 0;
  status = ZwQueryInformationProcess(process.Get(), ProcessImageFileName, query.Data(),
                                     kImageNameQueryBytes, &returned);
  if (!NT_SUCCESS(status)) {
    TAVO_PRINT("[KDVX] CreateProcessNotifyCallback ProcessImageFileName for process 0x%p "
               "failed; status 0x%08X.\n",
               processId, status);
  }
  process.Close();
  if (!NT_SUCCESS(status)) return status;

  const UNICODE_STRING& path = *query.As<UNICODE_STRING>();
  USHORT start = 0;
  if (path.Buffer == nullptr || !LastComponent(path, &start)) return status;
  const USHORT bytes = static_cast<USHORT>(path.Length - start * sizeof(WCHAR));
  if (bytes == 0) return status;
  // A name the pool cannot hold is reported like no name at all.
  OwnedString component = OwnedString::CopyOf(NonPagedPool, BorrowString(path.Buffer + start, bytes), bytes);
  if (component.HasBuffer()) *name = static_cast<OwnedString&&>(component);
  return status;
}

ULONG RequestorSessionId(PFLT_CALLBACK_DATA data) {
  ULONG session = 0;
  if (data == nullptr || !NT_SUCCESS(FltGetRequestorSessionId(data, &session))) return 0;
  return session;
}

OpenerRecord* MakeOpenerRecord(PFLT_CALLBACK_DATA data) {
  auto* record = static_cast<OpenerRecord*>(AllocateZeroed(NonPagedPool, sizeof(OpenerRecord)));
  if (record == nullptr) return nullptr;
  const auto& create = data->Iopb->Parameters.Create;
  record->FileObject = data->Iopb->TargetFileObject;
  record->ProcessId = FltGetRequestorProcessId(data);
  record->ProcessHandleId = FltGetRequestorProcessIdEx(data);
  record->SessionId = RequestorSessionId(data);
  record->CreateDisposition = CreateDispositionOf(data);
  record->CreateOptions = CreateOptionsOf(data);
  record->DesiredAccess =
      create.SecurityContext != nullptr ? create.SecurityContext->DesiredAccess : 0;
  record->ShareAccess = create.ShareAccess;
  record->FileAttributes = create.FileAttributes;
  InitializeListHead(&record->Links);
  return record;
}

void FreeOpenerRecord(OpenerRecord* record) {
  FreePool(record);
}

}  // namespace tavo
