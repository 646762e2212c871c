// The request/answer exchange with the client.
//
// Pairing: each PendingRequest gets a Cookie from a counter that never
// repeats, so a late or forged answer can only name a request that is still
// listed; the answer handler looks the Cookie up on PendingRequestList and
// never dereferences it.
//
// Exclusion: the answer handler (serialised by ReplyMutex) decides what to
// do with a record while holding PendingRequestListLock: it frees an
// abandoned one, or claims a waiting one (Delivered), after which the
// record and its buffer are the handler's until it sets AnswerEvent. A
// requester woken by that event owns its record again and takes it off the
// list under the spin lock alone: with many requesters, a requester waking
// while the handler holds ReplyMutex (or the other way round) would stall
// every answer behind it. A requester whose wait ends early, or whose send
// failed, takes ReplyMutex, so that no delivery is half-done: it either finds
// its answer delivered (and uses it) or marks the record abandoned, after
// which nothing is written to its buffer or variable; the handler frees the
// record when the answer comes. A requester whose wait timed out unanswered
// frees its record at once instead (under ReplyMutex, so no handler holds
// it): a late answer finds no Cookie.
#include "request_exchange.h"

#include "../core/globals.h"
#include "../core/hardening.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "../support/user_buffer.h"

namespace tavo {
namespace {

using protocol::Acknowledgement;
using protocol::kEnvelopeOverhead;
using protocol::kEnvelopePayloadOffset;
using protocol::RequestEnvelope;

volatile LONG64 NextCookie;

// Takes a record off the list; the caller holds PendingRequestListLock.
void RemoveLocked(PendingRequest* request) {
  if (Globals.NextAnswerHint == &request->Links) Globals.NextAnswerHint = request->Links.Flink;
  RemoveEntryList(&request->Links);
}

void Unlink(PendingRequest* request) {
  SpinLock guard(Globals.PendingRequestListLock);
  RemoveLocked(request);
}

// The answer buffer lives in the record's own allocation.
void FreeRequest(PendingRequest* request) {
  FreePool(request);
}

// Finds the listed record with this Cookie, trying the entry after the last
// one found first; the caller holds PendingRequestListLock.
PendingRequest* FindByCookie(ULONGLONG cookie) {
  LIST_ENTRY* const head = &Globals.PendingRequestList;
  PendingRequest* found = nullptr;
  LIST_ENTRY* hint = Globals.NextAnswerHint;
  if (hint != nullptr && hint != head &&
      CONTAINING_RECORD(hint, PendingRequest, Links)->Cookie == cookie) {
    found = CONTAINING_RECORD(hint, PendingRequest, Links);
  }
  for (LIST_ENTRY* link = head->Flink; found == nullptr && link != head; link = link->Flink) {
    PendingRequest* request = CONTAINING_RECORD(link, PendingRequest, Links);
    if (request->Cookie == cookie) found = request;
  }
  if (found != nullptr) Globals.NextAnswerHint = found->Links.Flink;
  return found;
}

}  // namespace

NTSTATUS SendRequestAndWait(const void* payload, ULONG payloadLength, ULONG requestType,
                            void* replyBuffer, ULONG replyBufferSize, ULONG* replyLengthOut,
                            LONGLONG timeLimit) {
  // Two zeroed allocations per request: the envelope with the client's
  // acknowledgement after it (8-byte aligned), and the record with its
  // answer buffer after it (freed with the record, by whichever side frees
  // it).
  constexpr ULONG kAcknowledgementRoom = 8 + sizeof(Acknowledgement);
  if (payloadLength > MAXULONG - kEnvelopeOverhead - kAcknowledgementRoom)
    return STATUS_INVALID_PARAMETER;
  const ULONG envelopeLength = payloadLength + kEnvelopeOverhead;
  const ULONG acknowledgementOffset = (envelopeLength + 7) & ~7u;
  PoolBuffer envelope = PoolBuffer::Allocate(
      NonPagedPool, acknowledgementOffset + static_cast<ULONG>(sizeof(Acknowledgement)));
  auto* request = static_cast<PendingRequest*>(
      AllocateZeroed(NonPagedPool, sizeof(PendingRequest) + SIZE_T{replyBufferSize}));
  if (!envelope || request == nullptr) {
    FreePool(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UCHAR* const acknowledgement = envelope.Data() + acknowledgementOffset;
  KeInitializeEvent(&request->AnswerEvent, SynchronizationEvent, FALSE);
  request->AnswerBuffer = replyBufferSize == 0 ? nullptr : reinterpret_cast<UCHAR*>(request + 1);
  request->AnswerCapacity = replyBufferSize;
  request->AnswerLengthOut = replyLengthOut;
  request->Type = requestType;
  request->Cookie = static_cast<ULONGLONG>(InterlockedIncrement64(&NextCookie));
  ExInterlockedInsertTailList(&Globals.PendingRequestList, &request->Links,
                              &Globals.PendingRequestListLock);

  RequestEnvelope header{};
  header.Type = requestType;
  header.Cookie = request->Cookie;
  header.Length = payloadLength;
  RtlCopyMemory(envelope.Data(), &header, kEnvelopePayloadOffset);
  if (payloadLength != 0)
    RtlCopyMemory(envelope.Data() + kEnvelopePayloadOffset, payload, payloadLength);

  ULONG ackLength = sizeof(Acknowledgement);
  RequestDeadline deadline(timeLimit);
  NTSTATUS status =
      FltSendMessage(Globals.FilterHandle, &Globals.RequestClientPort, envelope.Data(),
                     envelopeLength, acknowledgement, &ackLength, deadline.Remaining());
  if (status == STATUS_TIMEOUT) {
    status = STATUS_IO_TIMEOUT;  // not acknowledged in time
  } else if (NT_SUCCESS(status)) {
    const NTSTATUS ackStatus = reinterpret_cast<const Acknowledgement*>(acknowledgement)->Status;
    if (ackStatus < 0) status = ackStatus;
  }
  if (!NT_SUCCESS(status)) {
    MutexLock mutex(Globals.ReplyMutex);
    Unlink(request);
    FreeRequest(request);
    return status;
  }

  const NTSTATUS wait = KeWaitForSingleObject(&request->AnswerEvent, Executive, KernelMode, TRUE,
                                              deadline.Remaining());
  if (wait == STATUS_SUCCESS) {
    // Set only once the answer is in: the record is the requester's again.
    Unlink(request);
  } else {
    MutexLock mutex(Globals.ReplyMutex);
    if (wait == STATUS_TIMEOUT && !request->Delivered) {
      // Not answered in time: the record goes now (a late answer finds no
      // Cookie and is dropped), so a hung client costs no memory.
      Unlink(request);
      FreeRequest(request);
      return STATUS_IO_TIMEOUT;
    }
    if (!request->Delivered) {
      // Abandoned: the handler frees the record when (if) the answer comes.
      request->Abandoned = 1;
      return STATUS_CANCELLED;
    }
    Unlink(request);
  }
  if (replyBufferSize != 0) RtlCopyMemory(replyBuffer, request->AnswerBuffer, replyBufferSize);
  status = request->AnswerStatus;
  FreeRequest(request);
  return status;
}

NTSTATUS DeliverAnswer(const protocol::CommandMessage& answer, const UCHAR* userData,
                       ULONG dataLength) {
  // Cookie 0 names nothing; an empty list makes the look-up below fail.
  if (answer.Cookie == 0) return STATUS_SUCCESS;

  MutexLock mutex(Globals.ReplyMutex);
  PendingRequest* request;
  bool abandoned = false;
  {
    SpinLock guard(Globals.PendingRequestListLock);
    request = FindByCookie(answer.Cookie);
    if (request == nullptr) return STATUS_SUCCESS;
    if (request->Abandoned) {
      RemoveLocked(request);
      abandoned = true;
    } else if (request->Delivered || answer.Code != request->Type) {
      // A second answer to a delivered request, or one of the wrong type,
      // is ignored.
      return STATUS_SUCCESS;
    } else {
      request->Delivered = 1;  // claimed: the requester waits until the event
    }
  }
  if (abandoned) {
    FreeRequest(request);
    return STATUS_SUCCESS;
  }

  const ULONG copied = dataLength < request->AnswerCapacity ? dataLength : request->AnswerCapacity;
  const NTSTATUS status = CopyFromUser(request->AnswerBuffer, userData, copied);
  if (!NT_SUCCESS(status)) {
    // The client's data went mid-copy: nothing is delivered; the claim is
    // undone (ReplyMutex is still held, so no requester saw it) and the
    // buffer is zero again for an answer that may still come.
    RtlZeroMemory(request->AnswerBuffer, copied);
    request->Delivered = 0;
    return status;
  }
  request->AnswerStatus = answer.Status;
  if (request->AnswerLengthOut != nullptr) *request->AnswerLengthOut = copied;
  // The last touch of the record: the woken requester frees it.
  KeSetEvent(&request->AnswerEvent, 0, FALSE);
  return STATUS_SUCCESS;
}

void FailPendingRequests(NTSTATUS status) {
  MutexLock mutex(Globals.ReplyMutex);
  SpinLock guard(Globals.PendingRequestListLock);
  LIST_ENTRY* link = Globals.PendingRequestList.Flink;
  while (link != &Globals.PendingRequestList) {
    PendingRequest* request = CONTAINING_RECORD(link, PendingRequest, Links);
    link = link->Flink;
    if (request->Abandoned) {
      RemoveLocked(request);
      FreeRequest(request);
    } else if (!request->Delivered) {
      request->AnswerStatus = status;
      request->Delivered = 1;
      KeSetEvent(&request->AnswerEvent, 0, FALSE);
    }
  }
}

}  // namespace tavo
