// One-way file-change notifications to the client.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Sends a notification payload on the file-change port and waits only for
// the client's acknowledgement. Returns the send status: a refusal by the
// client is reported in the debug output but returns STATUS_SUCCESS.
NTSTATUS SendFileChangeNotification(const void* payload, ULONG payloadLength,
                                    ULONG notificationType);

}  // namespace tavo
