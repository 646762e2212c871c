// The client's side of the driver's four communication ports, on fltUser.h:
// connecting, the message pump that acknowledges every request and
// notification at once, answers sent later from any thread, and the control
// commands as typed calls.
//
// Only fltUser.h and the C++ standard library are used, so the same source
// builds in the simulation and as a Windows program.
#pragma once

#include <fltUser.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "port_messages.h"

namespace tavo::client {

// A message from the driver on the request or file-change port.
struct DriverMessage {
  std::uint32_t type = 0;
  std::uint64_t cookie = 0;  // 0 for notifications
  std::vector<std::uint8_t> payload;
};

// One entry of a block or allow list.
struct ProcessListItem {
  std::u16string name;
  std::u16string extension;  // "" for none, u"*" for every file
};

// The reply of a command: the callback's result, the reply's Status and Data.
struct CommandResult {
  HRESULT hresult = S_OK;
  std::uint32_t status = 0;
  std::uint32_t returnedBytes = 0;
  std::vector<std::uint8_t> data;
};

class DriverChannel {
 public:
  // Decides the Acknowledgement status of a message (negative refuses it).
  // Called on the pump's thread before the message is acknowledged.
  using AckPolicy = std::function<std::int32_t(const DriverMessage&)>;
  // Receives each accepted message after its acknowledgement.
  using MessageSink = std::function<void(DriverMessage)>;
  // Called for a message the pump cannot decode (it is refused).
  using ErrorSink = std::function<void(const std::string&)>;

  DriverChannel() = default;
  DriverChannel(const DriverChannel&) = delete;
  DriverChannel& operator=(const DriverChannel&) = delete;
  ~DriverChannel();

  // Connects to the four ports; on a failure nothing stays connected.
  HRESULT Connect();
  // Stops the pump and closes every connection.
  void Disconnect();
  bool Connected() const { return requestPort_ != nullptr; }

  // Starts the pump threads through `starter` from now on (default: a plain
  // std::thread), e.g. so that they run as the client's process.
  using ThreadStarter = std::function<std::thread(std::function<void()>)>;
  void SetThreadStarter(ThreadStarter starter) { threadStarter_ = std::move(starter); }

  // Starts one pump thread per driver-to-client port.
  void StartPump(AckPolicy ackPolicy, MessageSink requests, MessageSink notifications,
                 ErrorSink errors = {});
  void StopPump();

  // Answers a request on the response port (any thread, any order).
  CommandResult Answer(const DriverMessage& request, std::int32_t status, const void* data,
                       std::uint32_t length);
  CommandResult Answer(std::uint32_t type, std::uint64_t cookie, std::int32_t status,
                       const void* data, std::uint32_t length);

  // Control commands.
  CommandResult Configure(std::uint32_t sessionId, std::u16string_view mergedViewRoot,
                          std::u16string_view backendRoot, std::u16string_view secondaryViewRoot);
  CommandResult NoOperation();
  CommandResult SendBlockList(const std::vector<ProcessListItem>& items);
  CommandResult SendAllowList(const std::vector<ProcessListItem>& items);
  // Asks the driver for unique 8.3 names of the long names, in order.
  CommandResult PopulateShortNames(const std::vector<std::u16string>& longNames,
                                   std::uint32_t capacityBytes,
                                   std::vector<std::u16string>* shortNames);

  // Sends raw bytes on the response port (for tests of malformed messages).
  CommandResult SendRaw(const void* message, std::uint32_t length, std::uint32_t outputCapacity,
                        std::uint32_t announcedLength = 0);
  // Sends raw bytes on the installer port.
  CommandResult SendInstallerRaw(const void* message, std::uint32_t length,
                                 std::uint32_t outputCapacity);
  // The connections to the ports the client writes to, for callers that
  // need FilterSendMessage with buffers of their own (the fuzz targets).
  HANDLE ResponsePort() const { return responsePort_; }
  HANDLE InstallerPort() const { return installerPort_; }

 private:
  void Pump(HANDLE port, const MessageSink& sink);
  CommandResult Send(HANDLE port, const std::vector<std::uint8_t>& message,
                     std::uint32_t outputCapacity, std::uint32_t announcedLength);

  HANDLE requestPort_ = nullptr;
  HANDLE fileChangePort_ = nullptr;
  HANDLE responsePort_ = nullptr;
  HANDLE installerPort_ = nullptr;

  AckPolicy ackPolicy_;
  MessageSink requestSink_;
  MessageSink notificationSink_;
  ErrorSink errorSink_;
  std::vector<std::thread> pumps_;
  ThreadStarter threadStarter_;
  std::atomic<bool> stopping_{false};
};

// Encodes a block- or allow-list command.
std::vector<std::uint8_t> EncodeProcessList(std::uint32_t code,
                                            const std::vector<ProcessListItem>& items);

// Decodes an envelope received from the driver; false when it is truncated.
bool DecodeEnvelope(const std::uint8_t* bytes, std::size_t available, DriverMessage* message);

}  // namespace tavo::client
