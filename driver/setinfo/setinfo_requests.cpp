// Payloads of the requests only the set-information path sends: the
// emptiness check before a folder's delete and a rename on the server.
#include "../channel/request_exchange.h"
#include "../create/requestor.h"
#include "request_payloads.h"
#include "setinfo.h"

namespace tavo {
namespace {

using namespace protocol;

ULONG NameLengthField(const UNICODE_STRING& name) {
  return static_cast<ULONG>(name.Length) + sizeof(WCHAR);
}

}  // namespace

NTSTATUS RequestDeleteCheck(PFLT_CALLBACK_DATA data, PCUNICODE_STRING folder, UCHAR* answer) {
  *answer = 0;
  // The path's length is sent without its NUL; the NUL and two spare bytes
  // follow the path in the zeroed payload.
  const ULONG size = kDirectoryQueryNamesOffset + folder->Length + 4;
  PoolBuffer payload = PoolBuffer::Allocate(NonPagedPool, size);
  if (!payload) return STATUS_INSUFFICIENT_RESOURCES;
  DirectoryQueryRequest header{};
  header.SessionId = RequestorSessionId(data);
  header.Purpose = kDirectoryQueryDeleteCheck;
  header.SingleEntry = 0;
  header.DirectoryPathLength = folder->Length;
  RtlCopyMemory(payload.Data(), &header, sizeof(header));
  if (folder->Length != 0) {
    RtlCopyMemory(payload.Data() + kDirectoryQueryNamesOffset, folder->Buffer, folder->Length);
  }
  ULONG answerLength = 0;
  return SendRequestAndWait(payload.Data(), payload.Size(), kRequestDirectoryListing, answer, 1,
                            &answerLength);
}

NTSTATUS RequestServerRename(PFLT_CALLBACK_DATA data, PCUNICODE_STRING oldName,
                             PCUNICODE_STRING newName, bool localFolder, ULONG* answer) {
  *answer = kRenameNoAnswer;
  const ULONG size = kRenameRequestOverhead + oldName->Length + newName->Length;
  PoolBuffer payload = PoolBuffer::Allocate(NonPagedPool, size);
  if (!payload) return STATUS_INSUFFICIENT_RESOURCES;
  RenameItemRequest header{};
  header.SessionId = RequestorSessionId(data);
  header.LocalFolder = localFolder ? 1 : 0;
  header.OldNameLength = NameLengthField(*oldName);
  header.NewNameLength = NameLengthField(*newName);
  RtlCopyMemory(payload.Data(), &header, sizeof(header));
  if (oldName->Length != 0) {
    RtlCopyMemory(payload.Data() + kRenameNamesOffset, oldName->Buffer, oldName->Length);
  }
  if (newName->Length != 0) {
    RtlCopyMemory(payload.Data() + kRenameNamesOffset + header.OldNameLength, newName->Buffer,
                  newName->Length);
  }
  ULONG reply = kRenameNoAnswer;
  ULONG replyLength = 0;
  const NTSTATUS status = SendRequestAndWait(payload.Data(), payload.Size(), kRequestRenameItem,
                                             &reply, sizeof(reply), &replyLength);
  // A shorter answer would leave part of the preset value standing and
  // read as some other answer: only a whole one counts.
  if (NT_SUCCESS(status) && replyLength >= sizeof(reply)) *answer = reply;
  return status;
}

}  // namespace tavo
