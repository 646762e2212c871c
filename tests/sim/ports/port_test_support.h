// Test helpers for the communication ports: a filter side that creates a
// server port and records what its callbacks see, and small client helpers.
#pragma once

#include <fltKernel.h>
#include <fltUser.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "harness/ports.h"
#include "harness/processes.h"
#include "harness/strings.h"

namespace port_test {

// Ports only need the filter as an identity.
inline PFLT_FILTER FakeFilter(int n = 1) {
  return reinterpret_cast<PFLT_FILTER>(static_cast<ULONG_PTR>(0x5000 + n * 0x40));
}

inline constexpr const WCHAR* kPortName = L"\\TavoTestPort";
inline const std::u16string kPortName16 = u"\\TavoTestPort";

// The filter end of one server port. Each connection gets a record whose
// address is its connection cookie.
class FilterSide {
 public:
  struct ConnectionRecord {
    FilterSide* side;
    PFLT_PORT clientPort;
    std::vector<std::uint8_t> context;
    const void* contextAddress;
  };
  using MessageHandler =
      std::function<NTSTATUS(ConnectionRecord& connection, PVOID in, ULONG inLength, PVOID out,
                             ULONG outLength, PULONG returned)>;

  explicit FilterSide(PFLT_FILTER filter = FakeFilter()) : filter_(filter) {}

  // Creates the port; `nullDacl` gives it the NULL DACL that lets any
  // process connect, otherwise the default descriptor is kept.
  NTSTATUS Create(const WCHAR* name = kPortName, LONG maxConnections = 1, bool nullDacl = true,
                  bool withMessageCallback = true) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status = FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
    if (!NT_SUCCESS(status)) return status;
    if (nullDacl) RtlSetDaclSecurityDescriptor(descriptor, TRUE, nullptr, FALSE);
    name_ = sim::harness::ToU16(name);
    UNICODE_STRING unicodeName = sim::harness::MakeUnicodeString(name_);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, descriptor);
    status =
        FltCreateCommunicationPort(filter_, &serverPort_, &attributes, this, &Connect, &Disconnect,
                                   withMessageCallback ? &Message : nullptr, maxConnections);
    FltFreeSecurityDescriptor(descriptor);
    return status;
  }

  void CloseServerPort() {
    FltCloseCommunicationPort(serverPort_);
    serverPort_ = nullptr;
  }

  // The client port of the first (or only) connection, as the filter stores it.
  PFLT_PORT* ClientPort(std::size_t i = 0) {
    std::lock_guard lock(lock_);
    return &connections_.at(i)->clientPort;
  }
  ConnectionRecord& Connection(std::size_t i = 0) {
    std::lock_guard lock(lock_);
    return *connections_.at(i);
  }

  PFLT_FILTER filter() const { return filter_; }
  PFLT_PORT serverPort() const { return serverPort_; }

  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  NTSTATUS connectResult = STATUS_SUCCESS;
  bool closeClientPortOnDisconnect = true;
  MessageHandler onMessage;

 private:
  static NTSTATUS FLTAPI Connect(PFLT_PORT clientPort, PVOID serverCookie, PVOID context,
                                 ULONG size, PVOID* connectionCookie) {
    auto* side = static_cast<FilterSide*>(serverCookie);
    side->connects++;
    if (!NT_SUCCESS(side->connectResult)) return side->connectResult;
    auto record = std::make_unique<ConnectionRecord>();
    record->side = side;
    record->clientPort = clientPort;
    if (context != nullptr) {
      auto* bytes = static_cast<std::uint8_t*>(context);
      record->context.assign(bytes, bytes + size);
    }
    record->contextAddress = context;
    *connectionCookie = record.get();
    std::lock_guard lock(side->lock_);
    side->connections_.push_back(std::move(record));
    return STATUS_SUCCESS;
  }

  static VOID FLTAPI Disconnect(PVOID connectionCookie) {
    auto* record = static_cast<ConnectionRecord*>(connectionCookie);
    record->side->disconnects++;
    if (record->side->closeClientPortOnDisconnect)
      FltCloseClientPort(record->side->filter_, &record->clientPort);
  }

  static NTSTATUS FLTAPI Message(PVOID cookie, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                                 PULONG returned) {
    auto* record = static_cast<ConnectionRecord*>(cookie);
    if (!record->side->onMessage) return STATUS_SUCCESS;
    return record->side->onMessage(*record, in, inLength, out, outLength, returned);
  }

  PFLT_FILTER filter_;
  PFLT_PORT serverPort_ = nullptr;
  std::u16string name_;
  std::mutex lock_;
  std::vector<std::unique_ptr<ConnectionRecord>> connections_;
};

// A client connection; closes its handle when it goes.
class Client {
 public:
  Client() = default;
  explicit Client(const WCHAR* name, const void* context = nullptr, WORD contextSize = 0)
      : process(sim::harness::CurrentProcessId()) {
    result = FilterConnectCommunicationPort(name, 0, context, contextSize, nullptr, &handle);
  }
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  void Close() {
    if (result == S_OK && handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    handle = nullptr;
  }

  HRESULT result = E_INVALIDARG;
  HANDLE handle = nullptr;
  std::uint32_t process = 0;  // the process that owns the handle
};

// A server port with one client connected.
class ConnectedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
    client = std::make_unique<Client>(kPortName);
    ASSERT_EQ(client->result, S_OK);
  }
  void TearDown() override {
    client.reset();
    filter.CloseServerPort();
  }

  FilterSide filter;
  std::unique_ptr<Client> client;
};

// Client work on another thread, as the client's process (handles are per
// process; a new thread would otherwise run as System).
template <class Fn>
auto ClientAsync(const Client& client, Fn fn) {
  return std::async(std::launch::async, [process = client.process, fn] {
    sim::harness::ScopedProcess scope(process);
    return fn();
  });
}

// A received message: header and body.
struct Received {
  HRESULT result = E_INVALIDARG;
  FILTER_MESSAGE_HEADER header{};
  std::vector<std::uint8_t> body;
};

inline Received GetMessage(HANDLE port, std::size_t bufferSize = 256) {
  std::vector<std::uint8_t> buffer(bufferSize, 0);
  Received received;
  received.result = FilterGetMessage(port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(buffer.data()),
                                     static_cast<DWORD>(bufferSize), nullptr);
  std::memcpy(&received.header, buffer.data(), sizeof(FILTER_MESSAGE_HEADER));
  if (bufferSize > sizeof(FILTER_MESSAGE_HEADER)) {
    received.body.assign(buffer.begin() + sizeof(FILTER_MESSAGE_HEADER), buffer.end());
  }
  return received;
}

inline HRESULT Reply(HANDLE port, ULONGLONG messageId, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> buffer(sizeof(FILTER_REPLY_HEADER) + body.size(), 0);
  FILTER_REPLY_HEADER header{};
  header.Status = STATUS_SUCCESS;
  header.MessageId = messageId;
  std::memcpy(buffer.data(), &header, sizeof(header));
  if (!body.empty()) std::memcpy(buffer.data() + sizeof(header), body.data(), body.size());
  return FilterReplyMessage(port, reinterpret_cast<PFILTER_REPLY_HEADER>(buffer.data()),
                            static_cast<DWORD>(buffer.size()));
}

inline LARGE_INTEGER RelativeSeconds(LONGLONG seconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -seconds * 10000000LL;
  return timeout;
}

}  // namespace port_test
