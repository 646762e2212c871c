// FltSendMessage -> FilterGetMessage -> FilterReplyMessage: delivery, reply
// sizes, time-outs on the virtual clock, disconnection while a request is in
// flight, concurrency and fault injection.
#include <atomic>
#include <optional>
#include <future>
#include <thread>

#include "harness/clock.h"
#include "harness/threads.h"
#include "port_test_support.h"
#include "verifier/faults.h"

namespace {

using namespace port_test;
namespace ports = sim::harness::ports;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}

// A kernel-side sender on its own thread; publishes its KTHREAD so a test
// can wait until it blocks.
class Sender {
 public:
  Sender(PFLT_FILTER filter, PFLT_PORT* port, std::vector<std::uint8_t> message,
         ULONG replyCapacity, std::optional<LARGE_INTEGER> timeout = std::nullopt)
      : message_(std::move(message)), reply_(replyCapacity, 0xEE), replyLength_(replyCapacity) {
    thread_ = std::thread([=, this] {
      self_.store(KeGetCurrentThread());
      LARGE_INTEGER t = timeout.value_or(LARGE_INTEGER{});
      status_ = FltSendMessage(filter, port, message_.data(), static_cast<ULONG>(message_.size()),
                               reply_.empty() ? nullptr : reply_.data(),
                               reply_.empty() ? nullptr : &replyLength_, timeout ? &t : nullptr);
    });
    while (self_.load() == nullptr) std::this_thread::yield();
  }
  ~Sender() {
    if (thread_.joinable()) thread_.join();
  }
  bool Blocks() { return sim::harness::WaitUntilThreadWaits(self_.load()); }
  NTSTATUS Finish() {
    thread_.join();
    return status_;
  }
  const std::vector<std::uint8_t>& reply() const { return reply_; }
  ULONG replyLength() const { return replyLength_; }

 private:
  std::vector<std::uint8_t> message_;
  std::vector<std::uint8_t> reply_;
  ULONG replyLength_;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;
  std::atomic<PKTHREAD> self_{nullptr};
  std::thread thread_;
};

using PortMessageTest = ConnectedPort;

// The reply body is copied up to the sender's capacity; a longer one is cut
// and reported as STATUS_BUFFER_OVERFLOW; ReplyLength says what was copied.
TEST_F(PortMessageTest, ReplyIsCopiedUpToTheSendersBuffer) {
  struct Case {
    std::size_t replyBody;
    NTSTATUS status;
    ULONG copied;
  };
  const Case cases[] = {
      {4, STATUS_SUCCESS, 4}, {12, STATUS_SUCCESS, 12}, {20, STATUS_BUFFER_OVERFLOW, 12}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.replyBody);
    Sender sender(filter.filter(), filter.ClientPort(), Bytes({1, 2, 3, 4, 5}), 12);
    Received received = GetMessage(client->handle);
    ASSERT_EQ(received.result, S_OK);
    EXPECT_EQ(received.header.ReplyLength, sizeof(FILTER_REPLY_HEADER) + 12)
        << "reply header included";
    EXPECT_NE(received.header.MessageId, 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(received.body.begin(), received.body.begin() + 5),
              Bytes({1, 2, 3, 4, 5}));

    std::vector<std::uint8_t> body(c.replyBody);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(0x40 + i);
    EXPECT_EQ(Reply(client->handle, received.header.MessageId, body), S_OK);
    EXPECT_EQ(sender.Finish(), c.status);
    EXPECT_EQ(sender.replyLength(), c.copied);
    for (ULONG i = 0; i < 12; ++i) {
      EXPECT_EQ(sender.reply()[i], i < c.copied ? 0x40 + i : 0xEE) << "reply byte " << i;
    }
  }
}

TEST_F(PortMessageTest, MessageWithoutReplyReturnsOnceTheClientHasIt) {
  Sender sender(filter.filter(), filter.ClientPort(), Bytes({9, 8, 7}), 0);
  ASSERT_TRUE(sender.Blocks());
  EXPECT_EQ(ports::QueuedMessages(kPortName16), 1u);
  Received received = GetMessage(client->handle);
  EXPECT_EQ(received.result, S_OK);
  EXPECT_EQ(received.header.ReplyLength, 0u);
  EXPECT_EQ(sender.Finish(), STATUS_SUCCESS);
  EXPECT_EQ(ports::MessagesAwaitingReply(kPortName16), 0u);
  // Nothing to reply to.
  EXPECT_EQ(Reply(client->handle, received.header.MessageId, {}), ERROR_FLT_NO_WAITER_FOR_REPLY);
}

// A client already waiting takes the message inside FltSendMessage, so even a
// zero time-out succeeds; with nobody waiting a zero time-out expires at once.
TEST_F(PortMessageTest, ZeroTimeoutSucceedsOnlyWithAWaitingClient) {
  LARGE_INTEGER zero{};
  UCHAR payload[4] = {1, 2, 3, 4};
  EXPECT_EQ(
      FltSendMessage(filter.filter(), filter.ClientPort(), payload, 4, nullptr, nullptr, &zero),
      STATUS_TIMEOUT);
  EXPECT_EQ(ports::QueuedMessages(kPortName16), 0u);

  auto getter = ClientAsync(*client, [&] { return GetMessage(client->handle); });
  ASSERT_TRUE(ports::WaitFor(ports::BlockedGetters, kPortName16, 1));
  EXPECT_EQ(
      FltSendMessage(filter.filter(), filter.ClientPort(), payload, 4, nullptr, nullptr, &zero),
      STATUS_SUCCESS);
  Received received = getter.get();
  EXPECT_EQ(received.result, S_OK);
  EXPECT_EQ(received.body[3], 4);
}

TEST_F(PortMessageTest, SmallGetBufferTruncatesAndTheMessageStillAwaitsItsReply) {
  Sender sender(filter.filter(), filter.ClientPort(), Bytes({1, 2, 3, 4, 5, 6, 7, 8}), 4);
  Received received = GetMessage(client->handle, sizeof(FILTER_MESSAGE_HEADER) + 3);
  EXPECT_EQ(received.result, HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(received.body, Bytes({1, 2, 3}));
  EXPECT_EQ(received.header.ReplyLength, sizeof(FILTER_REPLY_HEADER) + 4);
  EXPECT_EQ(Reply(client->handle, received.header.MessageId, Bytes({0xA, 0xB, 0xC, 0xD})), S_OK);
  EXPECT_EQ(sender.Finish(), STATUS_SUCCESS);
  EXPECT_EQ(sender.reply(), Bytes({0xA, 0xB, 0xC, 0xD}));
}

// The time-out covers delivery and reply together and runs on the
// simulation's clock: it expires when the test moves the clock past it.
TEST_F(PortMessageTest, TimeoutFollowsTheVirtualClock) {
  // Not received in time.
  {
    Sender sender(filter.filter(), filter.ClientPort(), Bytes({1}), 4, RelativeSeconds(5));
    ASSERT_TRUE(sender.Blocks());
    sim::harness::AdvanceClock(std::chrono::seconds(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ports::QueuedMessages(kPortName16), 1u) << "expired before its deadline";
    sim::harness::AdvanceClock(std::chrono::seconds(2));
    EXPECT_EQ(sender.Finish(), STATUS_TIMEOUT);
    EXPECT_EQ(ports::QueuedMessages(kPortName16), 0u);
  }
  // Received, not answered in time: a late reply finds no waiter.
  {
    Sender sender(filter.filter(), filter.ClientPort(), Bytes({2}), 4, RelativeSeconds(5));
    Received received = GetMessage(client->handle);
    ASSERT_EQ(received.result, S_OK);
    ASSERT_TRUE(sender.Blocks());
    sim::harness::AdvanceClock(std::chrono::seconds(6));
    EXPECT_EQ(sender.Finish(), STATUS_TIMEOUT);
    EXPECT_EQ(sender.reply()[0], 0xEE);
    EXPECT_EQ(Reply(client->handle, received.header.MessageId, Bytes({1, 2, 3, 4})),
              ERROR_FLT_NO_WAITER_FOR_REPLY);
  }
}

TEST_F(PortMessageTest, ClientDisconnectingMidRequestEndsTheWait) {
  // One message received and awaiting its reply, one still queued.
  Sender answered(filter.filter(), filter.ClientPort(), Bytes({1}), 4);
  ASSERT_EQ(GetMessage(client->handle).result, S_OK);
  Sender queued(filter.filter(), filter.ClientPort(), Bytes({2}), 4);
  ASSERT_TRUE(queued.Blocks());
  ASSERT_TRUE(answered.Blocks());

  client->Close();
  EXPECT_EQ(answered.Finish(), STATUS_PORT_DISCONNECTED);
  EXPECT_EQ(queued.Finish(), STATUS_PORT_DISCONNECTED);
  EXPECT_EQ(filter.disconnects.load(), 1);
  EXPECT_EQ(*filter.ClientPort(), nullptr) << "the disconnect callback closed the client port";
  UCHAR payload = 0;
  EXPECT_EQ(
      FltSendMessage(filter.filter(), filter.ClientPort(), &payload, 1, nullptr, nullptr, nullptr),
      STATUS_PORT_DISCONNECTED);
  EXPECT_EQ(ports::ConnectedClients(kPortName16), 0u);
}

// A filter that keeps its client port past the disconnect (it closes it
// later) and sends on it: the send is refused at once, nothing is queued.
TEST_F(PortMessageTest, SendOnAPortWhoseClientLeftIsRefused) {
  filter.closeClientPortOnDisconnect = false;
  client->Close();
  ASSERT_EQ(filter.disconnects.load(), 1);
  UCHAR payload = 0;
  LARGE_INTEGER zero{};
  EXPECT_EQ(FltSendMessage(filter.filter(), filter.ClientPort(), &payload, 1, nullptr, nullptr,
                           &zero),
            STATUS_PORT_DISCONNECTED);
  EXPECT_EQ(ports::QueuedMessages(kPortName16), 0u);
  FltCloseClientPort(filter.filter(), filter.ClientPort());
}

// The filter closing its end wakes a client blocked in FilterGetMessage; a
// client closing its own handle cancels its blocked FilterGetMessage.
TEST_F(PortMessageTest, BlockedGetterLearnsOfEitherSideClosing) {
  auto getter = ClientAsync(*client, [&] { return GetMessage(client->handle).result; });
  ASSERT_TRUE(ports::WaitFor(ports::BlockedGetters, kPortName16, 1));
  FltCloseClientPort(filter.filter(), filter.ClientPort());
  EXPECT_EQ(getter.get(), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  EXPECT_EQ(*filter.ClientPort(), nullptr);
  EXPECT_EQ(filter.disconnects.load(), 1);
  EXPECT_EQ(GetMessage(client->handle).result, HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  client->Close();
  EXPECT_EQ(filter.disconnects.load(), 1) << "the disconnect callback runs once per connection";

  Client second(kPortName);
  ASSERT_EQ(second.result, S_OK);
  auto cancelled = ClientAsync(second, [&] { return GetMessage(second.handle).result; });
  ASSERT_TRUE(ports::WaitFor(ports::BlockedGetters, kPortName16, 1));
  second.Close();
  EXPECT_EQ(cancelled.get(), HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(filter.disconnects.load(), 2);
}

TEST_F(PortMessageTest, InjectedFailureAndAbsentPortFailAtOnce) {
  UCHAR payload = 1;
  sim::faults::FailNth(sim::faults::Site::SendMessage, 1);
  EXPECT_EQ(
      FltSendMessage(filter.filter(), filter.ClientPort(), &payload, 1, nullptr, nullptr, nullptr),
      STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ports::QueuedMessages(kPortName16), 0u);
  EXPECT_EQ(sim::faults::FailedCount(sim::faults::Site::SendMessage), 1u);

  PFLT_PORT none = nullptr;
  EXPECT_EQ(FltSendMessage(filter.filter(), &none, &payload, 1, nullptr, nullptr, nullptr),
            STATUS_PORT_DISCONNECTED);
  EXPECT_EQ(FltSendMessage(filter.filter(), nullptr, &payload, 1, nullptr, nullptr, nullptr),
            STATUS_PORT_DISCONNECTED);

  // The next send goes through.
  Sender sender(filter.filter(), filter.ClientPort(), Bytes({5}), 0);
  EXPECT_EQ(GetMessage(client->handle).result, S_OK);
  EXPECT_EQ(sender.Finish(), STATUS_SUCCESS);
}

}  // namespace
