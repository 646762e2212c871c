// The client's port library.
#include "driver_channel.h"

#include <cstring>

namespace tavo::client {
namespace {

using namespace tavo::protocol;

// The NTSTATUS a client refuses a malformed message with (windows.h
// programs do not see ntstatus.h).
constexpr std::int32_t kStatusInvalidParameter = static_cast<std::int32_t>(0xC000000D);

// Largest message the pump accepts: the driver's requests are far smaller.
constexpr std::size_t kPumpBufferBytes = 256 * 1024;

template <class T>
void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, const T& value) {
  if (bytes.size() < offset + sizeof(T)) bytes.resize(offset + sizeof(T));
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

void PutText(std::vector<std::uint8_t>& bytes, std::size_t offset, std::u16string_view text) {
  if (bytes.size() < offset + text.size() * 2) bytes.resize(offset + text.size() * 2);
  std::memcpy(bytes.data() + offset, text.data(), text.size() * 2);
}

std::vector<std::uint8_t> CommandHeader(std::uint32_t code, std::int32_t status,
                                        std::uint64_t cookie, std::uint32_t length) {
  std::vector<std::uint8_t> message(kCommandDataOffset);
  CommandMessage header{status, code, cookie, length};
  std::memcpy(message.data(), &header,
              sizeof(header) < kCommandDataOffset ? sizeof(header) : kCommandDataOffset);
  return message;
}

void ConnectOne(const char16* name, HANDLE* port, HRESULT* result) {
  if (FAILED(*result)) return;
  *result = FilterConnectCommunicationPort(name, 0, nullptr, 0, nullptr, port);
  if (FAILED(*result)) *port = nullptr;
}

void CloseOne(HANDLE* port) {
  if (*port != nullptr) CloseHandle(*port);
  *port = nullptr;
}

}  // namespace

DriverChannel::~DriverChannel() {
  Disconnect();
}

HRESULT DriverChannel::Connect() {
  HRESULT result = S_OK;
  ConnectOne(kRequestPortName, &requestPort_, &result);
  ConnectOne(kFileChangePortName, &fileChangePort_, &result);
  ConnectOne(kResponsePortName, &responsePort_, &result);
  ConnectOne(kInstallerPortName, &installerPort_, &result);
  if (FAILED(result)) Disconnect();
  return result;
}

void DriverChannel::Disconnect() {
  stopping_ = true;
  // Closing the ports ends the pumps' waits in FilterGetMessage.
  CloseOne(&requestPort_);
  CloseOne(&fileChangePort_);
  StopPump();
  CloseOne(&responsePort_);
  CloseOne(&installerPort_);
}

void DriverChannel::StartPump(AckPolicy ackPolicy, MessageSink requests, MessageSink notifications,
                              ErrorSink errors) {
  ackPolicy_ = std::move(ackPolicy);
  requestSink_ = std::move(requests);
  notificationSink_ = std::move(notifications);
  errorSink_ = std::move(errors);
  stopping_ = false;
  // The pumps get the handles by value: Disconnect clears the members while
  // the pumps run.
  HANDLE requestPort = requestPort_;
  HANDLE fileChangePort = fileChangePort_;
  auto start = [this](std::function<void()> body) {
    return threadStarter_ ? threadStarter_(std::move(body)) : std::thread(std::move(body));
  };
  pumps_.push_back(start([this, requestPort] { Pump(requestPort, requestSink_); }));
  pumps_.push_back(start([this, fileChangePort] { Pump(fileChangePort, notificationSink_); }));
}

void DriverChannel::StopPump() {
  stopping_ = true;
  CloseOne(&requestPort_);
  CloseOne(&fileChangePort_);
  for (std::thread& pump : pumps_) {
    if (pump.joinable()) pump.join();
  }
  pumps_.clear();
}

void DriverChannel::Pump(HANDLE port, const MessageSink& sink) {
  std::vector<std::uint8_t> buffer(kPumpBufferBytes);
  auto* header = reinterpret_cast<FILTER_MESSAGE_HEADER*>(buffer.data());
  while (!stopping_) {
    const HRESULT got = FilterGetMessage(port, header, static_cast<DWORD>(buffer.size()), nullptr);
    if (FAILED(got)) {
      if (stopping_) return;
      if (HRESULT_CODE(got) == ERROR_INSUFFICIENT_BUFFER) continue;
      return;  // the port is gone
    }
    DriverMessage message;
    std::int32_t ackStatus;
    const std::uint8_t* body = buffer.data() + sizeof(FILTER_MESSAGE_HEADER);
    if (!DecodeEnvelope(body, buffer.size() - sizeof(FILTER_MESSAGE_HEADER), &message)) {
      if (errorSink_) errorSink_("refused a truncated message from the driver");
      ackStatus = kStatusInvalidParameter;
    } else {
      ackStatus = ackPolicy_ ? ackPolicy_(message) : 0;
    }
    struct {
      FILTER_REPLY_HEADER header;
      Acknowledgement ack;
    } reply{};
    reply.header.Status = 0;
    reply.header.MessageId = header->MessageId;
    reply.ack.Status = ackStatus;
    FilterReplyMessage(port, &reply.header, sizeof(FILTER_REPLY_HEADER) + sizeof(Acknowledgement));
    if (ackStatus >= 0 && sink) sink(std::move(message));
  }
}

bool DecodeEnvelope(const std::uint8_t* bytes, std::size_t available, DriverMessage* message) {
  if (available < kEnvelopePayloadOffset) return false;
  RequestEnvelope header;
  std::memcpy(&header, bytes, kEnvelopePayloadOffset);
  if (header.Length > available - kEnvelopePayloadOffset) return false;
  message->type = header.Type;
  message->cookie = header.Cookie;
  message->payload.assign(bytes + kEnvelopePayloadOffset,
                          bytes + kEnvelopePayloadOffset + header.Length);
  return true;
}

CommandResult DriverChannel::Send(HANDLE port, const std::vector<std::uint8_t>& message,
                                  std::uint32_t outputCapacity, std::uint32_t announcedLength) {
  CommandResult result;
  std::vector<std::uint8_t> output(kCommandReplyHeaderSize + outputCapacity);
  CommandReply announced{0, announcedLength};
  std::memcpy(output.data(), &announced, sizeof(announced));
  DWORD returned = 0;
  result.hresult = FilterSendMessage(port, const_cast<std::uint8_t*>(message.data()),
                                     static_cast<DWORD>(message.size()), output.data(),
                                     static_cast<DWORD>(output.size()), &returned);
  if (FAILED(result.hresult)) return result;
  CommandReply reply;
  std::memcpy(&reply, output.data(), sizeof(reply));
  result.status = reply.Status;
  result.returnedBytes = returned;
  const std::size_t room = output.size() - kCommandReplyDataOffset;
  const std::size_t length = reply.Length < room ? reply.Length : room;
  result.data.assign(output.begin() + kCommandReplyDataOffset,
                     output.begin() + kCommandReplyDataOffset + length);
  return result;
}

CommandResult DriverChannel::Answer(const DriverMessage& request, std::int32_t status,
                                    const void* data, std::uint32_t length) {
  return Answer(request.type, request.cookie, status, data, length);
}

CommandResult DriverChannel::Answer(std::uint32_t type, std::uint64_t cookie, std::int32_t status,
                                    const void* data, std::uint32_t length) {
  std::vector<std::uint8_t> message = CommandHeader(type, status, cookie, length);
  if (length != 0) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    message.insert(message.end(), bytes, bytes + length);
  }
  return Send(responsePort_, message, 0, 0);
}

CommandResult DriverChannel::Configure(std::uint32_t sessionId, std::u16string_view mergedViewRoot,
                                       std::u16string_view backendRoot,
                                       std::u16string_view secondaryViewRoot) {
  std::vector<std::uint8_t> message = CommandHeader(kCommandConfigure, 0, 0, 0);
  message.resize(kConfigurationCommandSize);
  Put(message, __builtin_offsetof(ConfigurationCommand, SessionId), sessionId);
  // Each path is cut to leave room for its NUL in the fixed field.
  auto field = [&](std::size_t offset, std::u16string_view path) {
    const std::size_t maxChars = kRootFieldBytes / 2 - 1;
    PutText(message, offset, path.substr(0, maxChars));
  };
  field(__builtin_offsetof(ConfigurationCommand, MergedViewPath), mergedViewRoot);
  field(__builtin_offsetof(ConfigurationCommand, BackendPath), backendRoot);
  field(__builtin_offsetof(ConfigurationCommand, SecondaryViewPath), secondaryViewRoot);
  return Send(responsePort_, message, 0, 0);
}

CommandResult DriverChannel::NoOperation() {
  return Send(responsePort_, CommandHeader(kCommandNoOperation, 0, 0, 0), 0, 0);
}

std::vector<std::uint8_t> EncodeProcessList(std::uint32_t code,
                                            const std::vector<ProcessListItem>& items) {
  std::vector<std::uint8_t> message = CommandHeader(code, 0, 0, 0);
  std::vector<ProcessListItem> entries = items;
  if (entries.empty()) entries.push_back({});  // an empty list is one empty entry
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t offset = message.size();
    const ProcessListItem& item = entries[i];
    const std::uint32_t nameBytes = static_cast<std::uint32_t>(item.name.size() * 2);
    const auto extensionBytes = static_cast<std::uint16_t>(item.extension.size() * 2);
    std::uint32_t entryBytes = kProcessListEntryNameOffset + nameBytes + extensionBytes;
    entryBytes = (entryBytes + 3) & ~3u;  // keep entries 4-byte aligned
    ProcessListEntry entry{i + 1 < entries.size() ? entryBytes : 0, nameBytes, extensionBytes, 0};
    message.resize(offset + entryBytes);
    std::memcpy(message.data() + offset, &entry, sizeof(entry));
    PutText(message, offset + kProcessListEntryNameOffset, item.name);
    PutText(message, offset + kProcessListEntryNameOffset + nameBytes, item.extension);
  }
  return message;
}

CommandResult DriverChannel::SendBlockList(const std::vector<ProcessListItem>& items) {
  return Send(responsePort_, EncodeProcessList(kCommandBlockList, items), 0, 0);
}

CommandResult DriverChannel::SendAllowList(const std::vector<ProcessListItem>& items) {
  return Send(responsePort_, EncodeProcessList(kCommandAllowList, items), 0, 0);
}

CommandResult DriverChannel::PopulateShortNames(const std::vector<std::u16string>& longNames,
                                                std::uint32_t capacityBytes,
                                                std::vector<std::u16string>* shortNames) {
  std::u16string text;
  for (const std::u16string& name : longNames) {
    text += name;
    text += static_cast<char16_t>(kShortNameSeparator);
  }
  std::vector<std::uint8_t> message =
      CommandHeader(kCommandPopulateShortNames, 0, 0, static_cast<std::uint32_t>(text.size() * 2));
  PutText(message, kCommandDataOffset, text);
  CommandResult result = Send(responsePort_, message, capacityBytes, capacityBytes);
  if (shortNames != nullptr && SUCCEEDED(result.hresult)) {
    shortNames->clear();
    std::u16string current;
    for (std::size_t i = 0; i + 1 < result.data.size(); i += 2) {
      char16_t unit;
      std::memcpy(&unit, result.data.data() + i, 2);
      if (unit == static_cast<char16_t>(kShortNameSeparator)) {
        shortNames->push_back(current);
        current.clear();
      } else {
        current += unit;
      }
    }
  }
  return result;
}

CommandResult DriverChannel::SendRaw(const void* message, std::uint32_t length,
                                     std::uint32_t outputCapacity, std::uint32_t announcedLength) {
  const auto* bytes = static_cast<const std::uint8_t*>(message);
  return Send(responsePort_, std::vector<std::uint8_t>(bytes, bytes + length), outputCapacity,
              announcedLength);
}

CommandResult DriverChannel::SendInstallerRaw(const void* message, std::uint32_t length,
                                              std::uint32_t outputCapacity) {
  const auto* bytes = static_cast<const std::uint8_t*>(message);
  return Send(installerPort_, std::vector<std::uint8_t>(bytes, bytes + length), outputCapacity, 0);
}

}  // namespace tavo::client
