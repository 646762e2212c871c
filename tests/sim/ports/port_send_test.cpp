// FilterSendMessage into the filter's message callback: buffers, output,
// statuses, and the verifier's treatment of them as hostile user memory
// (odd addresses, contents rewritten while the callback runs, output
// lengths beyond the buffer).
#include <thread>

#include "port_test_support.h"
#include "verifier/verifier.h"

namespace {

using namespace port_test;
namespace ports = sim::harness::ports;

using PortSendTest = ConnectedPort;

// The callback runs on the client's thread, as the client's process, and
// what it writes and reports comes back to the client.
TEST_F(PortSendTest, CallbackStatusBecomesTheClientsResult) {
  struct Case {
    NTSTATUS status;
    HRESULT expected;
  };
  const Case cases[] = {
      {STATUS_SUCCESS, S_OK},
      {STATUS_INVALID_PARAMETER, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)},
      {STATUS_BUFFER_TOO_SMALL, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
      {STATUS_BUFFER_OVERFLOW, HRESULT_FROM_WIN32(ERROR_MORE_DATA)},
      {STATUS_INSUFFICIENT_RESOURCES, HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES)},
  };
  for (const Case& c : cases) {
    filter.onMessage = [&](FilterSide::ConnectionRecord&, PVOID, ULONG, PVOID, ULONG, PULONG) {
      return c.status;
    };
    DWORD returned = 0;
    UCHAR in = 1;
    EXPECT_EQ(FilterSendMessage(client->handle, &in, 1, nullptr, 0, &returned), c.expected)
        << std::hex << c.status;
  }
}

TEST_F(PortSendTest, PortWithoutMessageCallbackRefusesData) {
  FilterSide silent(FakeFilter(2));
  ASSERT_EQ(silent.Create(L"\\TavoSilentPort", 1, true, false), STATUS_SUCCESS);
  Client other(L"\\TavoSilentPort");
  ASSERT_EQ(other.result, S_OK);
  DWORD returned = 0;
  UCHAR in = 1;
  EXPECT_EQ(FilterSendMessage(other.handle, &in, 1, nullptr, 0, &returned),
            HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(FilterSendMessage(reinterpret_cast<HANDLE>(0x7777), &in, 1, nullptr, 0, &returned),
            HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  other.Close();
  silent.CloseServerPort();
}

// By default the callback sees the client's buffers at odd addresses, as a
// client may hand them; the switch gives it the client's own pointers.
TEST_F(PortSendTest, BuffersAreMisalignedUnlessSwitchedOff) {
  PVOID seenIn = nullptr, seenOut = nullptr;
  filter.onMessage = [&](FilterSide::ConnectionRecord&, PVOID in, ULONG, PVOID out, ULONG,
                         PULONG returned) {
    seenIn = in;
    seenOut = out;
    *static_cast<UCHAR*>(out) = 0x77;
    *returned = 1;
    return STATUS_SUCCESS;
  };
  alignas(8) UCHAR in[16] = {1};
  alignas(8) UCHAR out[16] = {};
  DWORD returned = 0;
  ASSERT_EQ(FilterSendMessage(client->handle, in, sizeof(in), out, sizeof(out), &returned), S_OK);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(seenIn) % 2, 1u);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(seenOut) % 2, 1u);
  EXPECT_EQ(out[0], 0x77) << "output written at the odd address reaches the client";

  ports::SetMisalignedUserBuffers(false);
  ASSERT_EQ(FilterSendMessage(client->handle, in, sizeof(in), out, sizeof(out), &returned), S_OK);
  EXPECT_EQ(seenIn, static_cast<PVOID>(in));
  EXPECT_EQ(seenOut, static_cast<PVOID>(out));
}

// A callback that checks a length field and later reads it again (instead of
// capturing the message once) sees the hostile client's second value.
TEST_F(PortSendTest, InputRewrittenWhileTheCallbackRunsExposesADoubleFetch) {
  struct Request {
    ULONG Length;
    UCHAR Data[12];
  };
  ULONG firstRead = 0, secondRead = 0;
  bool awaitRewrite = true;
  filter.onMessage = [&](FilterSide::ConnectionRecord&, PVOID in, ULONG, PVOID, ULONG, PULONG) {
    volatile ULONG* length = &static_cast<Request*>(in)->Length;
    firstRead = *length;
    if (firstRead > sizeof(Request::Data)) return STATUS_INVALID_PARAMETER;
    // Give the rewrite time to land (bounded: 10 s), then the bug: trusting
    // a second fetch.
    for (int ms = 0; awaitRewrite && ms < 10000 && *length == firstRead; ++ms)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    secondRead = *length;
    return STATUS_SUCCESS;
  };
  // This callback reads the structure in place; aligned, so that only the
  // double fetch is on trial (UBSan rejects misaligned member reads).
  ports::SetMisalignedUserBuffers(false);
  ports::SetInputMutation(
      [](std::uint8_t* data, ULONG) {
        ULONG huge = 0x7FFFFFFF;
        std::memcpy(data, &huge, sizeof(huge));
      },
      /*afterMicroseconds=*/20000);
  Request request{8, {}};
  DWORD returned = 0;
  // On a loaded machine the rewrite can land before the first fetch (the
  // callback then refuses the message); the call is made again until the
  // first fetch saw the original.
  for (int attempt = 0; attempt < 20 && firstRead != 8u; ++attempt)
    FilterSendMessage(client->handle, &request, sizeof(request), nullptr, 0, &returned);
  EXPECT_EQ(firstRead, 8u);
  EXPECT_EQ(secondRead, 0x7FFFFFFFu) << "the second fetch saw the rewritten buffer";
  EXPECT_EQ(request.Length, 8u) << "the client's own memory is left alone";

  // Without the switch both fetches agree.
  ports::ClearInputMutation();
  awaitRewrite = false;
  EXPECT_EQ(FilterSendMessage(client->handle, &request, sizeof(request), nullptr, 0, &returned),
            S_OK);
  EXPECT_EQ(secondRead, 8u);
}

TEST_F(PortSendTest, ReportedOutputBeyondTheBufferIsAViolation) {
  filter.onMessage = [](FilterSide::ConnectionRecord&, PVOID, ULONG, PVOID, ULONG outLength,
                        PULONG returned) {
    *returned = outLength + 4;
    return STATUS_SUCCESS;
  };
  UCHAR out[4];
  DWORD returned = 0;
  EXPECT_EQ(FilterSendMessage(client->handle, nullptr, 0, out, sizeof(out), &returned), S_OK);
  EXPECT_EQ(returned, 4u);
  auto violations = sim::verifier::TakeViolations(sim::verifier::Check::Port);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("8 output bytes for a 4-byte buffer"), std::string::npos)
      << violations[0].message;
}

}  // namespace
