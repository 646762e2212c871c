// The client's information about a server item: the request, the answer
// buffer and the 20-second cache in front of the client.
#include <atomic>
#include <functional>
#include <thread>

#include "create/name_helpers.h"
#include "harness/clock.h"
#include "harness/threads.h"
#include "names_fixture.h"
#include "setinfo/item_info_cache.h"

namespace tavo::testing {
namespace {

using sim::harness::KernelDuration;

// The reply QueryItemInfo gave, or nothing.
ByteList Query(const std::u16string& path) {
  TestPath input(path);
  PoolBuffer reply;
  QueryItemInfo(nullptr, &input.string, &reply);
  return {reply.Data(), reply.Data() + reply.Size()};
}

bool Cached(const std::u16string& path) {
  TestPath input(path);
  PoolBuffer copy;
  LookupItemInfo(&input.string, &copy);
  return static_cast<bool>(copy);
}

class ItemInfoQueryTest : public NamesTest {};

// The request, the answer buffer (the path's length and 96 bytes; a longer
// answer is cut there) and the 20-second cache in front of the client:
// within it the cache answers with a copy of the answer as the client sent
// it, after it the client is asked again.
TEST_F(ItemInfoQueryTest, RequestAnswerBufferAndTwentySecondCache) {
  // 50 characters: 100 bytes of name.
  const std::u16string path = kRoot + u"\\" + std::u16string(50 - kRoot.size() - 1, u'f');
  ASSERT_EQ(path.size() * 2, 100u);
  const ByteList answer = ItemInfoAnswer(FILE_ATTRIBUTE_ARCHIVE, 1234, 200);
  SetItemInfo(path, answer);
  const ByteList first = Query(path);
  auto queries = Queries(protocol::kQueryItemInfo);
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].size, 118u);
  EXPECT_EQ(queries[0].nameLength, 102u);
  EXPECT_EQ(queries[0].queryKind, 3u);
  EXPECT_EQ(queries[0].sessionId, 0u);
  EXPECT_EQ(queries[0].name, path);
  EXPECT_TRUE(queries[0].terminated);
  const ByteList payload = client_->Requests().at(0).payload;
  EXPECT_EQ(ByteList(payload.end() - 4, payload.end()), ByteList(4, 0));
  EXPECT_EQ(first, ByteList(answer.begin(), answer.begin() + 196));

  SetItemInfo(path, ItemInfoAnswer(FILE_ATTRIBUTE_DIRECTORY, 0, 64));
  sim::harness::AdvanceClock(KernelDuration(kItemInfoLifetime - 1));
  EXPECT_EQ(Query(path), first);
  EXPECT_EQ(Queries(protocol::kQueryItemInfo).size(), 1u);
  sim::harness::AdvanceClock(KernelDuration(1));
  const ByteList third = Query(path);
  EXPECT_EQ(Queries(protocol::kQueryItemInfo).size(), 2u);
  EXPECT_EQ(third.size(), 196u);
  protocol::ItemInfoReply fields;
  std::memcpy(&fields, third.data(), sizeof(fields));
  EXPECT_EQ(fields.FileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  // The cache keeps the answer at its own length, not the buffer's.
  EXPECT_EQ(Query(path), ByteList(third.begin(), third.begin() + 64));
}

// Absence: nothing is returned, nothing is cached, and the next query asks
// the client again.
TEST_F(ItemInfoQueryTest, AbsentItemsAreNotCached) {
  struct Case {
    const char* what;
    std::function<void(const std::u16string&)> arrange;
  };
  const Case cases[] = {
      {"negative answer", [](const std::u16string&) {}},
      {"answer shorter than the fields read",
       [this](const std::u16string& path) { SetItemInfo(path, ByteList(59, 1)); }},
      {"empty success answer", [this](const std::u16string& path) { SetItemInfo(path, {}); }},
      {"refused acknowledgement",
       [this](const std::u16string&) {
         client_->OnRequest(
             protocol::kRequestItemQuery,
             ScriptedAnswer::Refused(static_cast<std::int32_t>(STATUS_ACCESS_DENIED)));
       }},
      {"client gone", [this](const std::u16string&) { client_->Disconnect(); }},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::u16string path = kRoot + u"\\missing" + static_cast<char16_t>(u'0' + index++);
    c.arrange(path);
    const std::size_t before = client_->Requests().size();
    EXPECT_TRUE(Query(path).empty()) << c.what;
    EXPECT_FALSE(Cached(path)) << c.what;
    EXPECT_TRUE(Query(path).empty()) << c.what;
    const bool connected = client_->Channel().Connected();
    EXPECT_EQ(client_->Requests().size(), before + (connected ? 2 : 0)) << c.what;
  }
}

// A wait that ends without an answer gives absence and caches nothing; the
// late answer is then dropped.
TEST_F(ItemInfoQueryTest, AbandonedWaitGivesAbsence) {
  client_->OnRequest(protocol::kRequestItemQuery, ScriptedAnswer::Held());
  const std::u16string path = kRoot + u"\\slow.txt";
  ByteList reply{1};
  std::atomic<PKTHREAD> thread{nullptr};
  std::thread requester([&] {
    thread = KeGetCurrentThread();
    reply = Query(path);
  });
  ASSERT_TRUE(client_->WaitForHeld(1));
  ASSERT_TRUE(sim::harness::WaitUntilThreadWaits(thread));
  ASSERT_TRUE(sim::harness::AlertThread(thread));
  requester.join();
  EXPECT_TRUE(reply.empty());
  EXPECT_FALSE(Cached(path));
  ByteList late = ItemInfoAnswer(0, 1);
  auto request = client_->TakeHeld().at(0);
  EXPECT_EQ(client_->Channel().Answer(request, 0, late.data(), late.size()).hresult, S_OK);
  EXPECT_FALSE(Cached(path));
}

}  // namespace
}  // namespace tavo::testing
