// Payloads of the download, delete and create-path requests.
#include "client_requests.h"

#include "../channel/request_exchange.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../tables/process_lists.h"
#include "request_payloads.h"
#include "requestor.h"

namespace tavo {
namespace {

using namespace protocol;

void WriteU32(PoolBuffer& payload, ULONG offset, ULONG value) {
  RtlCopyMemory(payload.Data() + offset, &value, sizeof(value));
}

ULONG NameLengthField(const UNICODE_STRING& name) {
  return static_cast<ULONG>(name.Length) + sizeof(WCHAR);
}

// Sends a payload with a one-byte answer; the answer byte stays 0 unless an
// answer is delivered.
NTSTATUS SendWithByteAnswer(const PoolBuffer& payload, ULONG type, UCHAR* answer,
                            LONGLONG timeLimit = 0) {
  *answer = 0;
  ULONG answerLength = 0;
  return SendRequestAndWait(payload.Data(), payload.Size(), type, answer, 1, &answerLength,
                            timeLimit);
}

ACCESS_MASK DesiredAccessOf(PFLT_CALLBACK_DATA data) {
  auto* security = data->Iopb->Parameters.Create.SecurityContext;
  return security != nullptr ? security->DesiredAccess : 0;
}

}  // namespace

PoolBuffer BuildNamedPayload(ULONG headerBytes, const UNICODE_STRING& name) {
  const ULONG size = headerBytes + NameLengthField(name) + kPayloadTrailerBytes;
  PoolBuffer payload = PoolBuffer::Allocate(NonPagedPool, size);
  if (payload && name.Length != 0) RtlCopyMemory(payload.Data() + headerBytes, name.Buffer, name.Length);
  return payload;
}

namespace {

// The download payload: `name` asked for on behalf of the requestor, whose
// image name goes in ProcessName (also returned in *image).
PoolBuffer BuildDownloadPayload(PFLT_CALLBACK_DATA data, const UNICODE_STRING& name,
                                BOOLEAN isDirectory, OwnedString* image) {
  PoolBuffer payload = BuildNamedPayload(kDownloadNameOffset, name);
  if (!payload) return payload;
  WriteU32(payload, __builtin_offsetof(DownloadRequest, SessionId), RequestorSessionId(data));
  WriteU32(payload, __builtin_offsetof(DownloadRequest, IsDirectory), isDirectory ? 1 : 0);
  WriteU32(payload, __builtin_offsetof(DownloadRequest, NameLength), NameLengthField(name));
  GetProcessImageName(image, FltGetRequestorProcessIdEx(data));
  // The field keeps room for the terminator: at most 518 bytes of name.
  const USHORT maxNameBytes = kProcessNameFieldBytes - sizeof(WCHAR);
  const USHORT imageBytes = (*image)->Length < maxNameBytes ? (*image)->Length : maxNameBytes;
  if (imageBytes != 0) {
    RtlCopyMemory(payload.Data() + __builtin_offsetof(DownloadRequest, ProcessName),
                  (*image)->Buffer, imageBytes);
  }
  return payload;
}

}  // namespace

BOOLEAN RequestDownloadForCreate(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name) {
  // Without a payload nothing can be asked: the download is not approved.
  OwnedString image;
  PoolBuffer payload = BuildDownloadPayload(data, *name, FALSE, &image);
  if (!payload) return FALSE;
  TAVO_PRINT("Process %wZ is requesting for Download\n", &image.Get());

  const bool allowed = CanDownload(*name, image.Get(), DesiredAccessOf(data));
  WriteU32(payload, __builtin_offsetof(DownloadRequest, NotAllowed), allowed ? 0 : 1);
  UCHAR answer = 0;
  NTSTATUS status = SendWithByteAnswer(payload, kRequestDownload, &answer);
  // The client is told of the attempt; the create is refused whatever it says.
  if (!allowed) status = STATUS_UNSUCCESSFUL;
  return NT_SUCCESS(status) && answer == 1;
}

BOOLEAN RequestDownloadOfItem(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name,
                              BOOLEAN isDirectory) {
  OwnedString image;
  PoolBuffer payload = BuildDownloadPayload(data, *name, isDirectory, &image);
  if (!payload) return FALSE;
  UCHAR answer = 0;
  const NTSTATUS status = SendWithByteAnswer(payload, kRequestDownload, &answer);
  return NT_SUCCESS(status) && answer == 1;
}

NTSTATUS AskServerDelete(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, BOOLEAN isDirectory,
                         BOOLEAN* deleted) {
  return AskServerDeleteForSession(RequestorSessionId(data), name, isDirectory, deleted);
}

NTSTATUS AskServerDeleteForSession(ULONG sessionId, PCUNICODE_STRING name, BOOLEAN isDirectory,
                                   BOOLEAN* deleted, LONGLONG timeLimit) {
  *deleted = FALSE;
  PoolBuffer payload = BuildNamedPayload(kDeleteNameOffset, *name);
  if (!payload) return STATUS_INSUFFICIENT_RESOURCES;
  WriteU32(payload, __builtin_offsetof(DeleteServerItemRequest, SessionId), sessionId);
  WriteU32(payload, __builtin_offsetof(DeleteServerItemRequest, IsDirectory), isDirectory ? 1 : 0);
  WriteU32(payload, __builtin_offsetof(DeleteServerItemRequest, NameLength), NameLengthField(*name));
  UCHAR answer = 0;
  const NTSTATUS status = SendWithByteAnswer(payload, kRequestDeleteItem, &answer, timeLimit);
  *deleted = NT_SUCCESS(status) && answer == 1;
  return status;
}

BOOLEAN RequestServerDelete(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, BOOLEAN isDirectory) {
  BOOLEAN deleted = FALSE;
  (void)AskServerDelete(data, name, isDirectory, &deleted);
  return deleted;
}

BOOLEAN RequestCreatePath(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, BOOLEAN isDirectory,
                          UCHAR* answer) {
  *answer = 0;
  PoolBuffer payload = BuildNamedPayload(kCreatePathNameOffset, *name);
  if (!payload) return FALSE;
  WriteU32(payload, __builtin_offsetof(CreatePathRequest, SessionId), RequestorSessionId(data));
  WriteU32(payload, __builtin_offsetof(CreatePathRequest, IsDirectory), isDirectory ? 1 : 0);
  WriteU32(payload, __builtin_offsetof(CreatePathRequest, NameLength), NameLengthField(*name));
  const NTSTATUS status = SendWithByteAnswer(payload, kRequestCreatePath, answer);
  if (!NT_SUCCESS(status)) *answer = 0;
  return NT_SUCCESS(status) && *answer == 1;
}

}  // namespace tavo
