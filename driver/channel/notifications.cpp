// File-change notifications: an envelope with Cookie 0 on the file-change
// port; nothing is retried or queued.
#include "notifications.h"

#include "../core/globals.h"
#include "../support/debug.h"
#include "../support/pool.h"
#include "port_messages.h"

namespace tavo {

NTSTATUS SendFileChangeNotification(const void* payload, ULONG payloadLength,
                                    ULONG notificationType) {
  using namespace protocol;
  if (payloadLength > MAXULONG - kEnvelopeOverhead) return STATUS_INVALID_PARAMETER;
  const ULONG envelopeLength = payloadLength + kEnvelopeOverhead;
  PoolBuffer acknowledgement = PoolBuffer::Allocate(NonPagedPool, sizeof(Acknowledgement));
  PoolBuffer envelope = PoolBuffer::Allocate(NonPagedPool, envelopeLength);
  if (!acknowledgement || !envelope) {
    TAVO_PRINT("TavoDriver: Error In Sending File Change Notification\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RequestEnvelope header{};
  header.Type = notificationType;
  header.Cookie = 0;
  header.Length = payloadLength;
  RtlCopyMemory(envelope.Data(), &header, kEnvelopePayloadOffset);
  if (payloadLength != 0)
    RtlCopyMemory(envelope.Data() + kEnvelopePayloadOffset, payload, payloadLength);

  ULONG ackLength = sizeof(Acknowledgement);
  const NTSTATUS status =
      FltSendMessage(Globals.FilterHandle, &Globals.FileChangeClientPort, envelope.Data(),
                     envelopeLength, acknowledgement.Data(), &ackLength, nullptr);
  if (!NT_SUCCESS(status) || acknowledgement.As<Acknowledgement>()->Status < 0) {
    TAVO_PRINT("TavoDriver: Error In Sending File Change Notification\n");
  }
  return status;
}

}  // namespace tavo
