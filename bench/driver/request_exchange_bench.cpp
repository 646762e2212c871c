// Requests answered per second through the driver's SendRequestAndWait, with
// the client library acknowledging and answering at once, against the raw
// port ping-pong of the same message size (FltSendMessage -> FilterGetMessage
// -> FilterReplyMessage carrying the answer) on a port of the same filter,
// measured in the same run with 1, 4 and 16 requesting threads. The ratio
// printed at the end is the exchange's cost per request over the raw one.
//
// Every thread of the program (requesters, the client's pumps, the driver's)
// runs on one CPU as a batch thread (see single_cpu.h), and the cost is the
// whole process's CPU time: all the work of both sides, thread switches
// included, whatever else the machine runs meanwhile. On an idle CPU that is
// also the wall-clock rate.
#include <benchmark/benchmark.h>
#include <fltKernel.h>
#include <fltUser.h>

#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <thread>

#include "../support/driver_machine.h"
#include "../support/ratio_reporter.h"
#include "../support/single_cpu.h"
#include "channel/request_exchange.h"
#include "core/globals.h"
#include "driver_channel.h"
#include "fs/volume.h"
#include "harness/machine.h"
#include "harness/processes.h"
#include "kernel/lifecycle.h"

namespace {

constexpr ULONG kPayloadSize = 40;  // a 64-byte envelope
constexpr ULONG kAnswerSize = 16;
constexpr ULONG kRequestType = 3;

// The raw baseline: a port of the same filter whose client answers each
// message in its reply.
struct EchoPort {
  PFLT_PORT server = nullptr;
  PFLT_PORT client = nullptr;
  HANDLE handle = nullptr;
  std::thread pump;

  static NTSTATUS FLTAPI Connect(PFLT_PORT port, PVOID cookie, PVOID, ULONG,
                                 PVOID* connectionCookie) {
    static_cast<EchoPort*>(cookie)->client = port;
    *connectionCookie = cookie;
    return STATUS_SUCCESS;
  }
  static VOID FLTAPI Disconnect(PVOID cookie) {
    FltCloseClientPort(tavo::Globals.FilterHandle, &static_cast<EchoPort*>(cookie)->client);
  }

  void Start() {
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\TavoBenchEchoPort");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
    RtlSetDaclSecurityDescriptor(descriptor, TRUE, nullptr, FALSE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, descriptor);
    FltCreateCommunicationPort(tavo::Globals.FilterHandle, &server, &attributes, this, &Connect,
                               &Disconnect, nullptr, 1);
    FltFreeSecurityDescriptor(descriptor);
    FilterConnectCommunicationPort(L"\\TavoBenchEchoPort", 0, nullptr, 0, nullptr, &handle);
    pump = std::thread([this] {
      struct {
        FILTER_MESSAGE_HEADER header;
        UCHAR body[kPayloadSize + 24];
      } message;
      struct {
        FILTER_REPLY_HEADER header;
        UCHAR body[kAnswerSize];
      } reply{};
      while (FilterGetMessage(handle, &message.header, sizeof(message), nullptr) == S_OK) {
        reply.header.MessageId = message.header.MessageId;
        std::memcpy(reply.body, message.body + 20, kAnswerSize);
        FilterReplyMessage(handle, &reply.header, sizeof(FILTER_REPLY_HEADER) + kAnswerSize);
      }
    });
  }

  void Stop() {
    CloseHandle(handle);
    pump.join();
    FltCloseCommunicationPort(server);
  }
};

// Thread switches of the whole process so far (both sides of every
// exchange), for the per-request count each benchmark reports.
double ProcessSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

// Reports thread switches per request, counted by the first thread over the
// whole run of all of them.
class SwitchCounter {
 public:
  explicit SwitchCounter(benchmark::State& state) : state_(state) {
    if (state_.thread_index() == 0) start_ = ProcessSwitches();
  }
  ~SwitchCounter() {
    if (state_.thread_index() != 0 || state_.iterations() == 0) return;
    const double requests = static_cast<double>(state_.iterations()) * state_.threads();
    state_.counters["switches"] = (ProcessSwitches() - start_) / requests;
  }

 private:
  benchmark::State& state_;
  double start_ = 0;
};

EchoPort echo;
tavo::client::DriverChannel channel;

void BM_RawPortPingPong(benchmark::State& state) {
  UCHAR message[kPayloadSize + 24] = {};
  UCHAR answer[kAnswerSize];
  SwitchCounter switches(state);
  for (auto _ : state) {
    ULONG length = kAnswerSize;
    if (FltSendMessage(tavo::Globals.FilterHandle, &echo.client, message, sizeof(message), answer,
                       &length, nullptr) != STATUS_SUCCESS) {
      state.SkipWithError("FltSendMessage failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawPortPingPong)->Threads(1)->Threads(4)->Threads(16)->MeasureProcessCPUTime();

void BM_SendRequestAndWait(benchmark::State& state) {
  UCHAR payload[kPayloadSize] = {};
  UCHAR answer[kAnswerSize];
  SwitchCounter switches(state);
  for (auto _ : state) {
    ULONG length = 0;
    if (tavo::SendRequestAndWait(payload, kPayloadSize, kRequestType, answer, kAnswerSize,
                                 &length) != STATUS_SUCCESS) {
      state.SkipWithError("SendRequestAndWait failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendRequestAndWait)->Threads(1)->Threads(4)->Threads(16)->MeasureProcessCPUTime();

void StartMachine() {
  tavo::bench::RunOnOneCpu();
  tavo::bench::BootMachineWithDriver();
  channel.Connect();
  // The client acknowledges every request, then answers it at once.
  channel.StartPump([](const tavo::client::DriverMessage&) { return 0; },
                    [](tavo::client::DriverMessage request) {
                      channel.Answer(request, 0, request.payload.data(), kAnswerSize);
                    },
                    [](tavo::client::DriverMessage) {});
  echo.Start();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  StartMachine();
  tavo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  echo.Stop();
  channel.Disconnect();

  std::printf(
      "\nrequests answered per second (SendRequestAndWait / raw port ping-pong, same run)\n");
  for (std::int64_t threads : {1, 4, 16}) {
    const double exchange = reporter.Rate("BM_SendRequestAndWait", threads);
    const double raw = reporter.Rate("BM_RawPortPingPong", threads);
    if (exchange == 0 || raw == 0) continue;
    std::printf(
        "  %2lld thread(s): exchange %9.0f/s  raw %9.0f/s  cost ratio %.2f (goal <= 1.25)\n",
        static_cast<long long>(threads), exchange, raw, raw / exchange);
  }
  benchmark::Shutdown();
  return 0;
}
