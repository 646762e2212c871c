// Messages answered per second through a communication port:
// FltSendMessage (1, 4 or 16 kernel threads) -> FilterGetMessage ->
// FilterReplyMessage (one client pump answering at once), against a plain
// mutex/condition-variable request/answer exchange of the same sizes
// between the same threads, measured in the same run. The ratio
// port/baseline is printed at the end (medians when run with
// --benchmark_repetitions; this machine's load makes single runs noisy).
#include <benchmark/benchmark.h>
#include <fltKernel.h>
#include <fltUser.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "../support/ratio_reporter.h"
#include "harness/processes.h"
#include "kernel/lifecycle.h"

namespace {

constexpr ULONG kMessageSize = 64;  // a request envelope with a small payload
constexpr ULONG kReplySize = 12;    // an acknowledgement

// ---- The port under test ----

struct PortRig {
  PFLT_FILTER filter = reinterpret_cast<PFLT_FILTER>(0x5000);
  PFLT_PORT server = nullptr;
  PFLT_PORT client = nullptr;
  HANDLE handle = nullptr;
  std::thread pump;

  static NTSTATUS FLTAPI Connect(PFLT_PORT port, PVOID cookie, PVOID, ULONG,
                                 PVOID* connectionCookie) {
    static_cast<PortRig*>(cookie)->client = port;
    *connectionCookie = cookie;
    return STATUS_SUCCESS;
  }
  static VOID FLTAPI Disconnect(PVOID cookie) {
    auto* rig = static_cast<PortRig*>(cookie);
    FltCloseClientPort(rig->filter, &rig->client);
  }

  void Start() {
    std::u16string name = u"\\TavoBenchPort";
    UNICODE_STRING unicodeName{static_cast<USHORT>(name.size() * 2),
                               static_cast<USHORT>(name.size() * 2),
                               reinterpret_cast<PWCH>(name.data())};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
    RtlSetDaclSecurityDescriptor(descriptor, TRUE, nullptr, FALSE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_KERNEL_HANDLE, nullptr, descriptor);
    FltCreateCommunicationPort(filter, &server, &attributes, this, &Connect, &Disconnect, nullptr,
                               1);
    FltFreeSecurityDescriptor(descriptor);
    FilterConnectCommunicationPort(L"\\TavoBenchPort", 0, nullptr, 0, nullptr, &handle);
    // The pump answers every message at once, until the handle closes.
    pump = sim::harness::StartThreadAs(sim::harness::kDefaultProcessId, [this] {
      struct {
        FILTER_MESSAGE_HEADER header;
        UCHAR body[kMessageSize];
      } message;
      struct {
        FILTER_REPLY_HEADER header;
        UCHAR body[kReplySize];
      } reply{};
      while (FilterGetMessage(handle, &message.header, sizeof(message), nullptr) == S_OK) {
        reply.header.MessageId = message.header.MessageId;
        std::memcpy(reply.body, message.body, kReplySize);
        FilterReplyMessage(handle, &reply.header, sizeof(FILTER_REPLY_HEADER) + kReplySize);
      }
    });
  }

  void Stop() {
    sim::harness::RunAs(sim::harness::kDefaultProcessId, [this] { CloseHandle(handle); });
    pump.join();
    FltCloseCommunicationPort(server);
  }
};

PortRig rig;

void BM_PortSendReply(benchmark::State& state) {
  UCHAR message[kMessageSize] = {};
  UCHAR reply[kReplySize];
  message[0] = static_cast<UCHAR>(state.thread_index());
  for (auto _ : state) {
    ULONG replyLength = kReplySize;
    NTSTATUS status = FltSendMessage(rig.filter, &rig.client, message, kMessageSize, reply,
                                     &replyLength, nullptr);
    if (status != STATUS_SUCCESS) state.SkipWithError("FltSendMessage failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PortSendReply)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

// ---- Baseline: the same exchange through a mutex and condition variables ----

struct Request {
  const UCHAR* message = nullptr;
  UCHAR* reply = nullptr;
  bool done = false;
  std::condition_variable answered;
};

struct Mailbox {
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<Request*> queue;
  bool stop = false;
  std::thread responder;

  void Start() {
    responder = std::thread([this] {
      UCHAR copy[kMessageSize];
      std::unique_lock guard(lock);
      for (;;) {
        arrived.wait(guard, [&] { return stop || !queue.empty(); });
        if (queue.empty()) return;
        Request* request = queue.front();
        queue.pop_front();
        // Copy out and back, as the port does.
        std::memcpy(copy, request->message, kMessageSize);
        std::memcpy(request->reply, copy, kReplySize);
        request->done = true;
        request->answered.notify_one();
      }
    });
  }
  void Stop() {
    {
      std::lock_guard guard(lock);
      stop = true;
    }
    arrived.notify_one();
    responder.join();
  }
};

Mailbox mailbox;

void BM_BaselineMutexPingPong(benchmark::State& state) {
  UCHAR message[kMessageSize] = {};
  UCHAR reply[kReplySize];
  for (auto _ : state) {
    Request request;
    request.message = message;
    request.reply = reply;
    std::unique_lock guard(mailbox.lock);
    mailbox.queue.push_back(&request);
    mailbox.arrived.notify_one();
    request.answered.wait(guard, [&] { return request.done; });
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineMutexPingPong)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  sim::kernel::ResetMachine();
  benchmark::Initialize(&argc, argv);
  rig.Start();
  mailbox.Start();
  tavo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  mailbox.Stop();
  rig.Stop();

  std::printf("\nmessages answered per second (port / mutex-condvar baseline, same run)\n");
  for (std::int64_t threads : {1, 4, 16}) {
    const double port = reporter.Rate("BM_PortSendReply", threads);
    const double base = reporter.Rate("BM_BaselineMutexPingPong", threads);
    if (port == 0 || base == 0) continue;
    std::printf("  %2lld sender(s): port %10.0f/s  baseline %10.0f/s  ratio %.2f\n",
                static_cast<long long>(threads), port, base, port / base);
  }
  benchmark::Shutdown();
  return 0;
}
