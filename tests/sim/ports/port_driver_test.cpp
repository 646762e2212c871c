// A loaded minifilter that owns a port, as the driver will: DriverEntry
// registers and creates the port with the default descriptor opened up by a
// NULL DACL; the unload callback closes it. A client talks to it both ways.
#include "harness/machine.h"
#include "port_test_support.h"

namespace {

using namespace port_test;

struct DriverGlobals {
  PFLT_FILTER filter;
  PFLT_PORT server;
  PFLT_PORT client;
} g;

NTSTATUS FLTAPI OnConnect(PFLT_PORT client, PVOID, PVOID, ULONG, PVOID* cookie) {
  g.client = client;
  *cookie = nullptr;
  return STATUS_SUCCESS;
}

VOID FLTAPI OnDisconnect(PVOID) {
  FltCloseClientPort(g.filter, &g.client);
}

// Answers a command with its bytes reversed.
NTSTATUS FLTAPI OnMessage(PVOID, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                          PULONG returned) {
  if (in == nullptr || out == nullptr || outLength < inLength) return STATUS_INVALID_PARAMETER;
  UCHAR captured[64];
  if (inLength > sizeof(captured)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(captured, in, inLength);
  for (ULONG i = 0; i < inLength; ++i) static_cast<UCHAR*>(out)[i] = captured[inLength - 1 - i];
  *returned = inLength;
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI OnUnload(FLT_FILTER_UNLOAD_FLAGS) {
  FltCloseCommunicationPort(g.server);
  FltUnregisterFilter(g.filter);
  return STATUS_SUCCESS;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(registration);
  registration.Version = FLT_REGISTRATION_VERSION;
  registration.FilterUnloadCallback = &OnUnload;
  NTSTATUS status = FltRegisterFilter(driver, &registration, &g.filter);
  if (!NT_SUCCESS(status)) return status;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  status = FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
  if (NT_SUCCESS(status)) {
    RtlSetDaclSecurityDescriptor(descriptor, TRUE, nullptr, FALSE);
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\TavoDriverPort");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, descriptor);
    status = FltCreateCommunicationPort(g.filter, &g.server, &attributes, nullptr, &OnConnect,
                                        &OnDisconnect, &OnMessage, 1);
    FltFreeSecurityDescriptor(descriptor);
  }
  if (!NT_SUCCESS(status)) FltUnregisterFilter(g.filter);
  return status;
}

TEST(PortDriverTest, LoadedFilterTalksToItsClientBothWays) {
  g = {};
  sim::harness::Driver* driver = nullptr;
  ASSERT_EQ(sim::harness::LoadDriver(&DriverEntry, {}, &driver), STATUS_SUCCESS);

  Client client(L"\\TavoDriverPort");
  ASSERT_EQ(client.result, S_OK);
  ASSERT_NE(g.client, nullptr);

  UCHAR command[5] = {1, 2, 3, 4, 5};
  UCHAR answer[8] = {};
  DWORD returned = 0;
  EXPECT_EQ(
      FilterSendMessage(client.handle, command, sizeof(command), answer, sizeof(answer), &returned),
      S_OK);
  EXPECT_EQ(returned, 5u);
  EXPECT_EQ(answer[0], 5);
  EXPECT_EQ(answer[4], 1);

  auto getter = ClientAsync(client, [&] {
    Received received = GetMessage(client.handle);
    Reply(client.handle, received.header.MessageId, {0, 0, 0, 0, 0x2A});
    return received;
  });
  UCHAR request[3] = {7, 8, 9};
  UCHAR acknowledgement[12] = {};
  ULONG length = sizeof(acknowledgement);
  EXPECT_EQ(FltSendMessage(g.filter, &g.client, request, sizeof(request), acknowledgement, &length,
                           nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(acknowledgement[4], 0x2A);
  EXPECT_EQ(getter.get().body[2], 9);

  client.Close();
  EXPECT_EQ(g.client, nullptr);
  EXPECT_EQ(sim::harness::UnloadDriver(driver, true), STATUS_SUCCESS);
  EXPECT_TRUE(sim::harness::ports::OpenServerPorts().empty());
}

}  // namespace
