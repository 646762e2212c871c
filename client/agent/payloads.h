// Decoding of what the driver sends the agent: request payloads and
// file-change notifications, each checked against its length (names must
// lie inside the payload and end with a NUL). A message that does not
// decode is refused in its acknowledgement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "agent_types.h"

namespace tavo::agent {

struct DecodedRequest {
  std::uint32_t type = 0;
  std::uint32_t queryKind = 0;    // type 3
  std::uint32_t isDirectory = 0;  // types 1, 5, 6
  std::uint32_t notAllowed = 0;   // type 1
  std::u16string processName;     // type 1
  std::u16string name;        // every type: the item (rename: the old name; listing: the folder)
  std::u16string secondName;  // rename: the new name; listing: the pattern
  std::uint32_t localFolder = 0;   // type 4
  std::uint32_t infoClass = 0;     // type 2
  std::uint32_t purpose = 0;       // type 2
  std::uint32_t startIndex = 0;    // type 2
  bool singleEntry = false;        // type 2
  std::uint32_t bufferLength = 0;  // type 2
};

struct DecodedNotification {
  std::uint32_t type = 0;  // 4 renamed, 5 deleted, 10 created
  std::u16string firstName;
  std::u16string secondName;  // renames only
};

std::optional<DecodedRequest> DecodeRequest(std::uint32_t type, const Bytes& payload);
std::optional<DecodedNotification> DecodeNotification(std::uint32_t type, const Bytes& payload);

// One line for traces: "download C:\...\a.txt for notepad.exe".
std::string DescribeRequest(const DecodedRequest& request);
std::string DescribeNotification(const DecodedNotification& notification);

}  // namespace tavo::agent
