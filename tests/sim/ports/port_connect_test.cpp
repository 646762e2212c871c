// Server port creation and client connection: names, parameters,
// MaxConnections, the connection context, refusals, and what closing the
// server port or ending the client process does to connections. (Who may
// connect under the default descriptor and under a NULL DACL is pinned
// through the driver's own ports: tests/driver/channel/port_security_test.cpp.)
#include "harness/processes.h"
#include "port_test_support.h"

namespace {

using namespace port_test;
namespace ports = sim::harness::ports;

TEST(PortConnectTest, NamesAreUniqueWithoutRegardToCaseUntilThePortCloses) {
  FilterSide first, second(FakeFilter(2));
  ASSERT_EQ(first.Create(L"\\TavoTestPort"), STATUS_SUCCESS);
  EXPECT_EQ(second.Create(L"\\TAVOtestPORT"), STATUS_OBJECT_NAME_COLLISION);
  first.CloseServerPort();
  EXPECT_EQ(second.Create(L"\\TAVOtestPORT"), STATUS_SUCCESS);
  EXPECT_EQ(ports::OpenServerPorts(), std::vector<std::u16string>{u"\\TAVOtestPORT"});
  // A client finds it by any case.
  Client client(L"\\tavotestport");
  EXPECT_EQ(client.result, S_OK);
  client.Close();
  second.CloseServerPort();
}

NTSTATUS FLTAPI AcceptConnect(PFLT_PORT, PVOID, PVOID, ULONG, PVOID*) {
  return STATUS_SUCCESS;
}
VOID FLTAPI IgnoreDisconnect(PVOID) {}

TEST(PortConnectTest, CreateRefusesInvalidParameters) {
  std::u16string name = u"\\TavoTestPort";
  UNICODE_STRING unicodeName = sim::harness::MakeUnicodeString(name);
  struct Case {
    const char* what;
    ULONG attributes;
    bool connect;
    bool disconnect;
    LONG maxConnections;
  };
  const Case cases[] = {
      {"no OBJ_KERNEL_HANDLE", OBJ_CASE_INSENSITIVE, true, true, 1},
      {"no connect callback", OBJ_KERNEL_HANDLE, false, true, 1},
      {"no disconnect callback", OBJ_KERNEL_HANDLE, true, false, 1},
      {"MaxConnections 0", OBJ_KERNEL_HANDLE, true, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, c.attributes, nullptr, nullptr);
    PFLT_PORT port = nullptr;
    EXPECT_EQ(FltCreateCommunicationPort(
                  FakeFilter(), &port, &attributes, nullptr, c.connect ? &AcceptConnect : nullptr,
                  c.disconnect ? &IgnoreDisconnect : nullptr, nullptr, c.maxConnections),
              STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(ports::OpenServerPorts().empty());
}

// A connection the filter refuses gets no handle and no disconnect, and
// holds no slot; connections beyond MaxConnections are refused before they
// reach the filter; a closed one frees its slot.
TEST(PortConnectTest, RefusedConnectionsAndMaxConnections) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(kPortName, 2), STATUS_SUCCESS);
  filter.connectResult = STATUS_ACCESS_DENIED;
  Client refused(kPortName);
  EXPECT_EQ(refused.result, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(refused.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ports::ConnectedClients(kPortName16), 0u);
  EXPECT_EQ(filter.disconnects.load(), 0);

  filter.connectResult = STATUS_SUCCESS;
  auto first = std::make_unique<Client>(kPortName);
  Client second(kPortName);
  Client third(kPortName);
  EXPECT_EQ(first->result, S_OK);
  EXPECT_EQ(second.result, S_OK);
  EXPECT_EQ(third.result, HRESULT_FROM_WIN32(ERROR_CONNECTION_COUNT_LIMIT));
  EXPECT_EQ(filter.connects.load(), 3) << "a connection over the limit never reaches the filter";
  EXPECT_EQ(ports::ConnectedClients(kPortName16), 2u);

  first.reset();
  Client fourth(kPortName);
  EXPECT_EQ(fourth.result, S_OK);
  EXPECT_EQ(ports::ConnectedClients(kPortName16), 2u);
  fourth.Close();
  second.Close();
  filter.CloseServerPort();
}

// The connect callback gets a kernel copy of the client's context; the
// cookie it returns comes back to the message and disconnect callbacks.
TEST(PortConnectTest, ContextReachesTheFilterAsACopyAndTheCookieFollows) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  const char context[] = "session-7";
  FilterSide::ConnectionRecord* seen = nullptr;
  filter.onMessage = [&](FilterSide::ConnectionRecord& record, PVOID, ULONG, PVOID, ULONG, PULONG) {
    seen = &record;
    return STATUS_SUCCESS;
  };
  Client client(kPortName, context, sizeof(context));
  ASSERT_EQ(client.result, S_OK);
  FilterSide::ConnectionRecord& record = filter.Connection();
  EXPECT_EQ(std::string(record.context.begin(), record.context.end()),
            std::string(context, sizeof(context)));
  EXPECT_NE(record.contextAddress, static_cast<const void*>(context));

  DWORD returned = 0;
  EXPECT_EQ(FilterSendMessage(client.handle, nullptr, 0, nullptr, 0, &returned), S_OK);
  EXPECT_EQ(seen, &record);
  client.Close();
  EXPECT_EQ(filter.disconnects.load(), 1);
  filter.CloseServerPort();
}

// Closing the server port stops new connections; the existing one keeps
// working until it is closed.
TEST(PortConnectTest, ClosedServerPortKeepsExistingConnections) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(kPortName, 2), STATUS_SUCCESS);
  filter.onMessage = [](FilterSide::ConnectionRecord&, PVOID, ULONG, PVOID out, ULONG,
                        PULONG returned) {
    *static_cast<UCHAR*>(out) = 0x5A;
    *returned = 1;
    return STATUS_SUCCESS;
  };
  Client client(kPortName);
  ASSERT_EQ(client.result, S_OK);
  filter.CloseServerPort();

  Client late(kPortName);  // as unknown as a name never created
  EXPECT_EQ(late.result, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(late.handle, INVALID_HANDLE_VALUE);
  UCHAR out = 0;
  DWORD returned = 0;
  EXPECT_EQ(FilterSendMessage(client.handle, nullptr, 0, &out, 1, &returned), S_OK);
  EXPECT_EQ(out, 0x5A);
  EXPECT_EQ(ports::ConnectedClients(kPortName16), 1u);
  client.Close();
  EXPECT_EQ(filter.disconnects.load(), 1);
}

// A process that ends closes its handles, and with them its connections.
TEST(PortConnectTest, ClientProcessExitDisconnects) {
  FilterSide filter;
  ASSERT_EQ(filter.Create(), STATUS_SUCCESS);
  std::uint32_t agent = sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Tavo\\agent.exe");
  HANDLE handle = nullptr;
  sim::harness::RunAs(agent, [&] {
    EXPECT_EQ(FilterConnectCommunicationPort(kPortName, FLT_PORT_FLAG_SYNC_HANDLE, nullptr, 0,
                                             nullptr, &handle),
              S_OK);
  });
  // The handle belongs to the agent's process, not to this thread's.
  EXPECT_EQ(FilterGetMessage(handle, nullptr, 0, nullptr), E_INVALIDARG);
  FILTER_MESSAGE_HEADER header;
  EXPECT_EQ(FilterGetMessage(handle, &header, sizeof(header), nullptr),
            HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));

  sim::harness::ExitProcess(agent);
  EXPECT_EQ(filter.disconnects.load(), 1);
  EXPECT_EQ(ports::ConnectedClients(kPortName16), 0u);
  filter.CloseServerPort();
}

}  // namespace
