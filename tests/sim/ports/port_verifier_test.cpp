// The verifier's port checks: ports left open at the end of a test or at
// filter unregistration, closing a client port from its own message
// callback, double closes, and FltSendMessage at raised IRQL.
#include <future>
#include <thread>

#include "fltmgr/port_hostile.h"
#include "fltmgr/ports_internal.h"
#include "harness/threads.h"
#include "kernel/lifecycle.h"
#include "port_test_support.h"
#include "verifier/verifier.h"

namespace {

using namespace port_test;
namespace ports = sim::harness::ports;
using sim::verifier::Check;

std::vector<std::string> TakePortMessages() {
  std::vector<std::string> messages;
  for (auto& violation : sim::verifier::TakeViolations(Check::Port))
    messages.push_back(violation.message);
  return messages;
}

bool AnyContains(const std::vector<std::string>& messages, const std::string& text) {
  for (auto& message : messages) {
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(PortVerifierTest, PortsLeftOpenAtTheEndOfATestAreReported) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  filter.closeClientPortOnDisconnect = false;
  Client client(kPortName);
  ASSERT_EQ(client.result, S_OK);

  sim::kernel::RunEndOfTestChecks();
  auto messages = TakePortMessages();
  EXPECT_EQ(messages.size(), 3u);
  EXPECT_TRUE(AnyContains(messages, "server port \"\\TavoTestPort\" still open"));
  EXPECT_TRUE(AnyContains(messages, "not closed by the filter"));
  EXPECT_TRUE(
      AnyContains(messages, "client connection to \"\\TavoTestPort\" still open in process"));

  // The client goes; the filter's disconnect callback forgot to close its end.
  client.Close();
  sim::kernel::RunEndOfTestChecks();
  messages = TakePortMessages();
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_TRUE(AnyContains(messages, "not closed by the filter"));

  FltCloseClientPort(filter.filter(), filter.ClientPort());
  filter.CloseServerPort();
}

// At unregistration the Filter Manager reports server ports the filter left
// open and tells the filter of each connection it still has.
TEST(PortVerifierTest, UnregistrationClosesWhatTheFilterLeftOpen) {
  FilterSide tidy(FakeFilter(1)), sloppy(FakeFilter(2));
  ASSERT_EQ(tidy.Create(L"\\TidyPort"), STATUS_SUCCESS);
  ASSERT_EQ(sloppy.Create(L"\\SloppyPort"), STATUS_SUCCESS);
  sloppy.closeClientPortOnDisconnect = false;
  Client tidyClient(L"\\TidyPort"), sloppyClient(L"\\SloppyPort");
  ASSERT_EQ(tidyClient.result, S_OK);
  ASSERT_EQ(sloppyClient.result, S_OK);
  EXPECT_EQ(sim::fltmgr::PortsOpenForFilter(tidy.filter()), 2u);

  sim::fltmgr::ClosePortsOfFilter(tidy.filter());
  EXPECT_EQ(tidy.disconnects.load(), 1);
  EXPECT_EQ(*tidy.ClientPort(), nullptr);
  EXPECT_EQ(sim::fltmgr::PortsOpenForFilter(tidy.filter()), 0u);
  auto messages = TakePortMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(AnyContains(messages, "server port \"\\TidyPort\" still open"));
  // The client learns of it; the other filter's port is untouched.
  FILTER_MESSAGE_HEADER header;
  EXPECT_EQ(FilterGetMessage(tidyClient.handle, &header, sizeof(header), nullptr),
            HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  EXPECT_EQ(ports::ConnectedClients(u"\\SloppyPort"), 1u);

  sim::fltmgr::ClosePortsOfFilter(sloppy.filter());
  messages = TakePortMessages();
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_TRUE(AnyContains(messages, "still open after the filter's disconnect callback"));
  EXPECT_EQ(sim::fltmgr::PortsOpenForFilter(sloppy.filter()), 0u);
}

// A message callback in progress holds the filter: unregistration waits for
// it before the filter hears of the disconnection.
TEST(PortVerifierTest, UnregistrationWaitsForRunningMessageCallbacks) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> callbackEntered{false}, callbackDone{false}, doneWhenUnregistered{false};
  filter.onMessage = [&](FilterSide::ConnectionRecord&, PVOID, ULONG, PVOID, ULONG, PULONG) {
    callbackEntered = true;
    released.wait();
    callbackDone = true;
    return STATUS_SUCCESS;
  };
  Client client(kPortName);
  auto sender = ClientAsync(client, [&] {
    DWORD returned = 0;
    return FilterSendMessage(client.handle, nullptr, 0, nullptr, 0, &returned);
  });
  while (!callbackEntered) std::this_thread::yield();
  auto unregistration = std::async(std::launch::async, [&] {
    sim::fltmgr::ClosePortsOfFilter(filter.filter());
    doneWhenUnregistered = callbackDone.load();
  });
  EXPECT_EQ(unregistration.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release.set_value();
  unregistration.get();
  EXPECT_TRUE(doneWhenUnregistered);
  EXPECT_EQ(sender.get(), S_OK);
  EXPECT_EQ(filter.disconnects.load(), 1);
  EXPECT_EQ(TakePortMessages().size(), 1u) << "the server port left open";
}

// On Windows FltCloseClientPort waits for the port's message callbacks to
// finish, so calling it from one of them never returns.
TEST(PortVerifierTest, ClosingTheClientPortFromItsOwnCallbackIsReported) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  filter.onMessage = [&](FilterSide::ConnectionRecord& record, PVOID, ULONG, PVOID, ULONG, PULONG) {
    FltCloseClientPort(filter.filter(), &record.clientPort);
    return STATUS_SUCCESS;
  };
  Client client(kPortName);
  DWORD returned = 0;
  EXPECT_EQ(FilterSendMessage(client.handle, nullptr, 0, nullptr, 0, &returned), S_OK);
  auto messages = TakePortMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(AnyContains(messages, "from a message callback of the same port"));
  client.Close();
  filter.CloseServerPort();
}

TEST(PortVerifierTest, DoubleClosesAreReported) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  filter.closeClientPortOnDisconnect = false;
  Client client(kPortName);
  PFLT_PORT copy = *filter.ClientPort();
  FltCloseClientPort(filter.filter(), filter.ClientPort());
  FltCloseClientPort(filter.filter(), filter.ClientPort());  // cleared variable: nothing to do
  EXPECT_TRUE(TakePortMessages().empty());
  FltCloseClientPort(filter.filter(), &copy);
  EXPECT_EQ(copy, nullptr);
  auto messages = TakePortMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(AnyContains(messages, "client port already closed"));

  PFLT_PORT server = filter.serverPort();
  filter.CloseServerPort();
  FltCloseCommunicationPort(server);
  messages = TakePortMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(AnyContains(messages, "server port already closed"));
  client.Close();
}

TEST(PortVerifierTest, SendingAboveApcLevelIsAnIrqlViolation) {
  UCHAR payload = 0;
  PFLT_PORT none = nullptr;
  sim::harness::SetCurrentIrql(DISPATCH_LEVEL);
  NTSTATUS status = FltSendMessage(FakeFilter(), &none, &payload, 1, nullptr, nullptr, nullptr);
  sim::harness::SetCurrentIrql(PASSIVE_LEVEL);
  EXPECT_EQ(status, STATUS_PORT_DISCONNECTED);
  auto violations = sim::verifier::TakeViolations(Check::Irql);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("FltSendMessage"), std::string::npos);
}

TEST(PortVerifierTest, UsingAnotherFiltersClientPortIsReported) {
  FilterSide filter(FakeFilter(1));
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  filter.closeClientPortOnDisconnect = false;  // closed below, by the wrong filter
  Client client(kPortName);
  PFLT_PORT port = *filter.ClientPort();
  LARGE_INTEGER zero{};
  UCHAR payload = 0;
  EXPECT_EQ(FltSendMessage(FakeFilter(2), &port, &payload, 1, nullptr, nullptr, &zero),
            STATUS_TIMEOUT);
  FltCloseClientPort(FakeFilter(2), &port);
  auto messages = TakePortMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_TRUE(AnyContains(messages, "FltSendMessage on a port of another filter"));
  EXPECT_TRUE(AnyContains(messages, "FltCloseClientPort with a port of another filter"));
  client.Close();
  filter.CloseServerPort();
}

// A client that unmaps its buffers mid-call: guarded copies succeed up to
// the chosen access and fail from it on, the accesses are counted, and
// nothing of the callback's output reaches the client's unmapped buffer.
TEST(PortVerifierTest, UnmappedClientBuffersFailGuardedCopiesFromTheChosenAccess) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  std::vector<NTSTATUS> copies;
  filter.onMessage = [&](FilterSide::ConnectionRecord&, PVOID input, ULONG, PVOID output, ULONG,
                         PULONG returned) {
    std::uint8_t byte = 0;
    copies = {TavoGuardedCopy(&byte, input, 1), TavoGuardedCopy(output, &byte, 1),
              TavoGuardedCopy(&byte, static_cast<std::uint8_t*>(input) + 1, 1)};
    *returned = 1;
    return STATUS_SUCCESS;
  };
  Client client(kPortName);
  ASSERT_EQ(client.result, S_OK);
  struct Case {
    unsigned unmapAt;
    std::vector<NTSTATUS> copies;
    std::uint8_t output;
  };
  const Case cases[] = {
      {0, {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS}, 'a'},
      {1, {STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION}, 0x55},
      {2, {STATUS_SUCCESS, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION}, 0x55},
      {4, {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS}, 'a'},
  };
  for (const Case& c : cases) {
    ports::SetClientBuffersUnmappedAt(c.unmapAt);
    char input[2] = {'a', 'b'};
    std::uint8_t output = 0x55;
    DWORD returned = 0;
    EXPECT_EQ(FilterSendMessage(client.handle, input, 2, &output, 1, &returned), S_OK);
    EXPECT_EQ(copies, c.copies) << c.unmapAt;
    EXPECT_EQ(output, c.output) << c.unmapAt;
    if (c.unmapAt != 0) {
      EXPECT_EQ(ports::LastCallGuardedAccesses(), std::min(c.unmapAt, 3u));
    }
  }
  ports::SetClientBuffersUnmappedAt(0);
  client.Close();
  filter.CloseServerPort();
}

// The client may unmap its buffers at any instant, so in hostile mode a
// plain access faults wherever it comes, here between two guarded copies
// that both succeed.
void ReadBetweenGuardedCopies() {
  FilterSide filter;
  (void)filter.Create();
  filter.onMessage = [](FilterSide::ConnectionRecord&, PVOID input, ULONG, PVOID, ULONG, PULONG) {
    std::uint8_t byte = 0;
    (void)TavoGuardedCopy(&byte, input, 1);
    byte = *static_cast<volatile std::uint8_t*>(input);
    (void)TavoGuardedCopy(&byte, input, 1);
    return STATUS_SUCCESS;
  };
  Client client(kPortName);
  ports::SetClientBuffersUnmappedAt(UINT_MAX);
  char input[2] = {'a', 'b'};
  DWORD returned = 0;
  (void)FilterSendMessage(client.handle, input, 2, nullptr, 0, &returned);
}

TEST(PortVerifierTest, UnguardedAccessToClientBuffersFaultsInHostileMode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReadBetweenGuardedCopies(), "");
}

}  // namespace
