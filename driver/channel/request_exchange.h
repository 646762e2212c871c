// Requests to the client that wait for an answer. A request is sent on the
// request port and acknowledged at once; its answer arrives later on the
// response port, paired with the waiting request by its Cookie.
#pragma once

#include <fltKernel.h>

#include "port_messages.h"

namespace tavo {

// One request in flight (non-paged pool, zeroed).
struct PendingRequest {
  LIST_ENTRY Links;     // in PendingRequestList
  KEVENT AnswerEvent;   // synchronization event, set when the answer is delivered
  UCHAR* AnswerBuffer;  // AnswerCapacity bytes, zeroed
  ULONG AnswerCapacity;
  NTSTATUS AnswerStatus;
  ULONG* AnswerLengthOut;  // the requester's variable for the answer's length
  ULONG Type;              // an answer is delivered only if its Code equals it
  UCHAR Abandoned;         // the requester gave up waiting
  UCHAR Delivered;         // an answer (or a failure) is claimed for it: set before the event
  ULONGLONG Cookie;        // the identity the client echoes back
};

// Sends a request and waits for its answer: for ever, or as long as the
// opt-in "RequestTimeoutSeconds" allows. Returns the answer's Status, the
// send failure, the client's refusal, STATUS_CANCELLED when the wait was
// abandoned (alerted), or STATUS_IO_TIMEOUT when the client did not
// acknowledge and answer in time; the reply buffer and length are written
// only when an answer was delivered. A non-zero `timeLimit` (100-nanosecond
// units) bounds the wait further: the driver's own threads never wait for
// ever on a client that stays silent.
NTSTATUS SendRequestAndWait(const void* payload, ULONG payloadLength, ULONG requestType,
                            void* replyBuffer, ULONG replyBufferSize, ULONG* replyLengthOut,
                            LONGLONG timeLimit = 0);

// The answer handler: delivers an answer (a CommandMessage whose Code is
// not a command; its header captured, its data still the client's memory,
// read once through the guarded copy) to the request its Cookie names, or
// drops it. STATUS_INVALID_USER_BUFFER, with nothing delivered, when the
// client's data faults.
NTSTATUS DeliverAnswer(const protocol::CommandMessage& answer, const UCHAR* userData,
                       ULONG dataLength);

// Ends every wait with `status` (the client is gone and no answer can come)
// and frees the records of abandoned waits.
void FailPendingRequests(NTSTATUS status);

}  // namespace tavo
