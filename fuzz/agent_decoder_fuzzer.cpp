// The agent's decoding of what the driver sends: request payloads and
// notifications, and their trace lines.
//
// Input: the request or notification type (u32), then the payload.
#include <cstring>

#include "payloads.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint32_t type = 0;
  if (size >= 4) std::memcpy(&type, data, 4);
  const tavo::agent::Bytes payload(data + (size >= 4 ? 4 : size), data + size);
  if (auto request = tavo::agent::DecodeRequest(type, payload)) {
    tavo::agent::DescribeRequest(*request);
  }
  if (auto notification = tavo::agent::DecodeNotification(type, payload)) {
    tavo::agent::DescribeNotification(*notification);
  }
  return 0;
}
