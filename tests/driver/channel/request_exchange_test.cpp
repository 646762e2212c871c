// Requests to the client and the pairing of its answers.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <thread>

#include "channel/request_exchange.h"
#include "harness/clock.h"
#include "harness/ports.h"
#include "harness/registry.h"
#include "driver_fixture.h"
#include "harness/threads.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using Data = std::vector<std::uint8_t>;

struct Outcome {
  NTSTATUS status = STATUS_PENDING;
  Data reply;
  ULONG length = 0xDEADBEEF;  // untouched unless an answer was delivered
};

// Sends one request from the calling thread, as an I/O thread of the driver would.
Outcome Send(std::uint32_t type, const Data& payload, ULONG capacity) {
  Outcome outcome;
  outcome.reply.assign(capacity, 0xAA);
  outcome.status = SendRequestAndWait(payload.data(), static_cast<ULONG>(payload.size()), type,
                                      outcome.reply.data(), capacity, &outcome.length);
  return outcome;
}

class RequestExchangeTest : public DriverTest {
 protected:
  // One request of type 3 from its own thread, held by the client until the
  // test answers it.
  struct HeldRequest {
    HeldRequest(RequestExchangeTest& test, ULONG capacity) : test(test) {
      test.ConnectClient();
      test.client_->OnRequest(3, ScriptedAnswer::Held());
      requester = std::thread([this, capacity] {
        thread = KeGetCurrentThread();
        outcome = Send(3, {0}, capacity);
      });
    }
    ~HeldRequest() {
      if (requester.joinable()) {
        test.client_->Disconnect();
        requester.join();
      }
    }
    // The client holds the request and its requester waits for the answer.
    bool Waiting() {
      return test.client_->WaitForHeld(1) && sim::harness::WaitUntilThreadWaits(thread);
    }
    RequestExchangeTest& test;
    Outcome outcome;
    std::atomic<PKTHREAD> thread{nullptr};
    std::thread requester;
  };
  // Loads the driver again with the opt-in time-out of requests.
  void ReloadWithATimeOut(std::uint32_t seconds) {
    ASSERT_EQ(Unload(false), STATUS_SUCCESS);
    sim::harness::SetRegistryDword("\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo",
                                   "RequestTimeoutSeconds", seconds);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
  }
};

TEST_F(RequestExchangeTest, EnvelopeCarriesTypeCookieAndPayload) {
  ConnectClient();
  client_->OnRequest(6, ScriptedAnswer::Now(0, {1}));
  Send(6, {9, 8, 7}, 1);
  Send(6, {}, 1);  // an empty payload is a 24-byte envelope with Length 0
  auto requests = client_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].type, 6u);
  EXPECT_EQ(requests[0].payload, (Data{9, 8, 7}));
  EXPECT_TRUE(requests[1].payload.empty());
  EXPECT_NE(requests[0].cookie, 0u);
  EXPECT_NE(requests[0].cookie, requests[1].cookie);
}

// The caller's buffer receives exactly its capacity: the answer, then zeros.
TEST_F(RequestExchangeTest, AnswerDataIsCutOrPaddedToTheCapacity) {
  struct Case {
    Data answer;
    ULONG capacity;
    Data expected;
    ULONG length;
  };
  const Case cases[] = {
      {{1, 2}, 4, {1, 2, 0, 0}, 2},
      {{1, 2, 3, 4, 5, 6}, 4, {1, 2, 3, 4}, 4},
      {{}, 3, {0, 0, 0}, 0},
      {{7}, 0, {}, 0},
  };
  ConnectClient();
  for (const Case& c : cases) {
    client_->OnRequest(3, ScriptedAnswer::Now(0x10, c.answer));
    Outcome outcome = Send(3, {0}, c.capacity);
    EXPECT_EQ(outcome.status, 0x10);
    EXPECT_EQ(outcome.reply, c.expected);
    EXPECT_EQ(outcome.length, c.length);
  }
}

TEST_F(RequestExchangeTest, AnswersPairByCookieNotByOrder) {
  ConnectClient();
  client_->OnRequest(3, ScriptedAnswer::Held());
  Outcome first, second;
  std::thread a([&] { first = Send(3, {1}, 1); });
  std::thread b([&] { second = Send(3, {2}, 1); });
  ASSERT_TRUE(client_->WaitForHeld(2));
  auto held = client_->TakeHeld();
  // Answer the later request first, each with the byte of its own payload.
  std::reverse(held.begin(), held.end());
  for (const auto& request : held) {
    std::uint8_t tag = request.payload[0];
    client_->Channel().Answer(request, 0, &tag, 1);
  }
  a.join();
  b.join();
  EXPECT_EQ(first.reply, Data{1});
  EXPECT_EQ(second.reply, Data{2});
}

TEST_F(RequestExchangeTest, AnswerWithWrongCodeIsIgnoredUntilTheRightOneComes) {
  ConnectClient();
  client_->OnRequest(2, ScriptedAnswer::Held());
  Outcome outcome;
  std::thread requester([&] { outcome = Send(2, {0}, 1); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  auto request = client_->TakeHeld().at(0);
  std::uint8_t wrong = 5, right = 6;
  auto reply = client_->Channel().Answer(4, request.cookie, 0, &wrong, 1);
  EXPECT_EQ(reply.hresult, S_OK);
  EXPECT_EQ(reply.status, 0u);
  EXPECT_EQ(reply.returnedBytes, 12u);
  client_->Channel().Answer(request, 0, &right, 1);
  requester.join();
  EXPECT_EQ(outcome.reply, Data{6});
}

// An alerted requester gives up; its late answer is dropped and its record
// freed (the fixture's leak check after unload proves it).
TEST_F(RequestExchangeTest, AbandonedWaitFailsAndItsLateAnswerIsFreed) {
  HeldRequest held(*this, 4);
  ASSERT_TRUE(held.Waiting());
  ASSERT_TRUE(sim::harness::AlertThread(held.thread));
  held.requester.join();
  const Outcome& outcome = held.outcome;
  EXPECT_EQ(outcome.status, STATUS_CANCELLED);
  EXPECT_EQ(outcome.length, 0xDEADBEEFu);
  EXPECT_EQ(outcome.reply, Data(4, 0xAA));

  std::uint8_t late[4] = {1, 2, 3, 4};
  auto request = client_->TakeHeld().at(0);
  EXPECT_EQ(client_->Channel().Answer(request, 0, late, 4).hresult, S_OK);
}

// An answer the client was told it delivered must reach its requester, even
// when the handler's thread is alerted while it waits for the reply mutex.
TEST_F(RequestExchangeTest, AlertedAnswerHandlerStillDelivers) {
  HeldRequest held(*this, 1);
  ASSERT_TRUE(held.Waiting());
  sim::faults::FailEvery(sim::faults::Site::AlertableWait);
  std::uint8_t answer = 7;
  const auto result = client_->Channel().Answer(client_->TakeHeld().at(0), 0, &answer, 1);
  sim::faults::Clear();
  EXPECT_EQ(result.hresult, S_OK);
  client_->Disconnect();  // ends the wait a lost answer would leave behind
  held.requester.join();
  EXPECT_EQ(held.outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(held.outcome.reply, Data{7});
}

// The time-out is opt-in: without it a request waits however long the
// clock runs, and its answer still arrives.
TEST_F(RequestExchangeTest, WithoutATimeOutARequestOutlastsAnyTime) {
  HeldRequest held(*this, 1);
  ASSERT_TRUE(held.Waiting());
  sim::harness::AdvanceClock(std::chrono::hours(24 * 365));
  std::uint8_t answer = 9;
  EXPECT_EQ(client_->Channel().Answer(client_->TakeHeld().at(0), 0, &answer, 1).hresult, S_OK);
  held.requester.join();
  EXPECT_EQ(held.outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(held.outcome.reply, Data{9});
}

// Under the opt-in time-out a client that connects but never takes or
// acknowledges a request holds its requester no longer than the limit.
TEST_F(RequestExchangeTest, UnacknowledgedRequestEndsAtTheTimeOut) {
  ReloadWithATimeOut(5);
  client::DriverChannel silent;
  ASSERT_EQ(silent.Connect(), S_OK);  // no pump: nothing is ever received
  Outcome outcome;
  std::atomic<PKTHREAD> thread{nullptr};
  std::thread requester([&] {
    thread = KeGetCurrentThread();
    outcome = Send(3, {0}, 4);
  });
  ASSERT_TRUE(sim::harness::ports::WaitFor(sim::harness::ports::QueuedMessages,
                                           u"\\TavoRequestCommPort", 1));
  ASSERT_TRUE(sim::harness::WaitUntilThreadWaits(thread));
  sim::harness::AdvanceClock(std::chrono::seconds(5));
  requester.join();
  EXPECT_EQ(outcome.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(outcome.length, 0xDEADBEEFu);
  EXPECT_EQ(outcome.reply, Data(4, 0xAA));
  silent.Disconnect();
}

// The answer handler tries the record after the last one it found first.
// Here that record times out unanswered and goes: its late answer must find
// nothing (and touch nothing that was freed).
TEST_F(RequestExchangeTest, RecordAfterAnAnsweredOneTimesOutAndItsLateAnswerFindsNothing) {
  ReloadWithATimeOut(5);
  ConnectClient();
  client_->OnRequest(3, ScriptedAnswer::Held());
  Outcome answered, timedOut;
  std::atomic<PKTHREAD> timedOutThread{nullptr};
  std::thread a([&] { answered = Send(3, {1}, 1); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  std::thread b([&] {
    timedOutThread = KeGetCurrentThread();
    timedOut = Send(3, {2}, 1);
  });
  ASSERT_TRUE(client_->WaitForHeld(2));
  const auto held = client_->TakeHeld();  // in the order the requests went out
  std::uint8_t one = 1, two = 2;
  EXPECT_EQ(client_->Channel().Answer(held.at(0), 0, &one, 1).hresult, S_OK);
  a.join();
  ASSERT_TRUE(sim::harness::WaitUntilThreadWaits(timedOutThread));
  sim::harness::AdvanceClock(std::chrono::seconds(5));
  b.join();
  EXPECT_EQ(client_->Channel().Answer(held.at(1), 0, &two, 1).hresult, S_OK);
  EXPECT_EQ(answered.reply, Data{1});
  EXPECT_EQ(timedOut.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(timedOut.reply, Data{0xAA});
}

TEST_F(RequestExchangeTest, LosingTheResponsePortEndsTheWaits) {
  ConnectClient();
  client_->OnRequest(5, ScriptedAnswer::Never());
  Outcome outcome;
  std::thread requester([&] { outcome = Send(5, {0}, 1); });
  ASSERT_TRUE(client_->WaitForRequests(1));
  client_->Disconnect();
  requester.join();
  EXPECT_EQ(outcome.status, STATUS_PORT_DISCONNECTED);
}

// Each answer is also sent a second time from another client thread: the
// repeat races with the requester taking its record off the list and must
// not touch the record once it is freed.
TEST_F(RequestExchangeTest, ManyConcurrentRequestersEachGetTheirOwnAnswer) {
  ConnectClient();
  std::mutex lock;
  std::condition_variable answered;
  std::vector<DriverMessage> toRepeat;
  bool done = false;
  // Echo the payload back as the answer.
  client_->OnRequest(3, [&](const DriverMessage& request) {
    {
      std::lock_guard guard(lock);
      toRepeat.push_back(request);
    }
    answered.notify_one();
    return ScriptedAnswer::Now(0, request.payload);
  });
  std::thread repeater([&] {
    std::unique_lock guard(lock);
    for (;;) {
      answered.wait(guard, [&] { return done || !toRepeat.empty(); });
      if (toRepeat.empty()) return;
      DriverMessage request = toRepeat.back();
      toRepeat.pop_back();
      guard.unlock();
      client_->Channel().Answer(request, 0, request.payload.data(),
                                static_cast<std::uint32_t>(request.payload.size()));
      guard.lock();
    }
  });
  constexpr int kThreads = 8, kPerThread = 25;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Data payload{static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)};
        Outcome outcome = Send(3, payload, 2);
        if (outcome.status != 0 || outcome.reply != payload || outcome.length != 2) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  {
    std::lock_guard guard(lock);
    done = true;
  }
  answered.notify_one();
  repeater.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(client_->Requests().size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace tavo::testing
