// A client that unmaps its message buffers while the driver reads or writes
// them: every message of both ports the client sends on, with the buffers
// going just before each guarded access in turn, fails with
// STATUS_INVALID_USER_BUFFER and changes nothing; once the buffers outlast
// the call, the same message succeeds. (An unguarded access to the
// unmapped pages would end the test with a fault.)
#include <atomic>
#include <functional>
#include <thread>

#include "channel/request_exchange.h"
#include "core/globals.h"
#include "driver_fixture.h"
#include "harness/ports.h"
#include "harness/strings.h"
#include "harness/threads.h"
#include "port_messages.h"

namespace tavo::testing {
namespace {

using sim::harness::ToU16;

std::size_t Entries(PUNICODE_PREFIX_TABLE table) {
  std::size_t count = 0;
  for (auto* link = RtlNextUnicodePrefix(table, TRUE); link != nullptr;
       link = RtlNextUnicodePrefix(table, FALSE)) {
    ++count;
  }
  return count;
}

class GuardedBuffersTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ConnectAndConfigure();
    ASSERT_EQ(client_->Channel().SendBlockList({{u"indexer.exe", u".docx"}}).hresult, S_OK);
    ASSERT_EQ(client_->Channel().SendAllowList({{u"explorer.exe", u""}}).hresult, S_OK);
  }
  void TearDown() override {
    sim::harness::ports::SetClientBuffersUnmappedAt(0);
    DriverTest::TearDown();
  }

  // What any message could change (the native image's state is its own:
  // against it the sweep checks the statuses alone).
  static std::string State() {
    if (RunsImage()) return "";
    return sim::harness::ToUtf8(Globals.MergedViewRoot) + "|" +
           sim::harness::ToUtf8(Globals.BackendRoot) + "|" +
           sim::harness::ToUtf8(Globals.SecondaryViewRoot) + "|" +
           std::to_string(Globals.ClientSessionId) + "|" + std::to_string(Globals.AllowListMode) +
           "|" + std::to_string(Entries(&Globals.BlockedProcessTable)) + "|" +
           std::to_string(Entries(&Globals.NoListingProcessTable)) + "|" +
           std::to_string(Entries(&Globals.AllowedProcessTable));
  }

  // Sends the message with the client's buffers unmapped before its 1st,
  // 2nd, ... guarded access until one try makes fewer accesses than that
  // (the buffers outlast the call): every earlier try fails cleanly and
  // leaves `state` as it was; that last one succeeds.
  void Sweep(const char* what, const std::function<client::CommandResult()>& send,
             const std::function<std::string()>& state) {
    const std::string before = state();
    for (unsigned access = 1; access < 16; ++access) {
      sim::harness::ports::SetClientBuffersUnmappedAt(access);
      const client::CommandResult result = send();
      sim::harness::ports::SetClientBuffersUnmappedAt(0);
      if (sim::harness::ports::LastCallGuardedAccesses() < access) {
        EXPECT_EQ(result.hresult, S_OK) << what;
        EXPECT_GT(access, 1u) << what << ": the message never touched the client's buffers";
        return;
      }
      EXPECT_EQ(result.hresult, HRESULT_FROM_NT(STATUS_INVALID_USER_BUFFER)) << what << " " << access;
      EXPECT_EQ(state(), before) << what << " " << access;
    }
    ADD_FAILURE() << what << ": more guarded accesses than a message needs";
  }
};

TEST_F(GuardedBuffersTest, EveryCommandFailsCleanlyWhenTheClientsBuffersGo) {
  client::DriverChannel& channel = client_->Channel();
  const std::u16string otherRoot = u"\\Device\\HarddiskVolume3\\Users\\bob\\Tavo";
  Sweep("configuration",
        [&] { return channel.Configure(9, otherRoot, kBackendRoot, kSecondaryViewRoot); }, State);
  if (!RunsImage()) {
    EXPECT_EQ(ToU16(Globals.MergedViewRoot), otherRoot);
  }
  Sweep("no operation", [&] { return channel.NoOperation(); }, State);
  Sweep("block list", [&] { return channel.SendBlockList({{u"a.exe", u""}, {u"b.exe", u"*"}}); },
        State);
  if (!RunsImage()) {
    EXPECT_EQ(Globals.AllowListMode, 0);
  }
  Sweep("allow list", [&] { return channel.SendAllowList({{u"c.exe", u""}}); }, State);
  if (!RunsImage()) {
    EXPECT_EQ(Globals.AllowListMode, 1);
  }
  std::vector<std::u16string> shortNames;
  Sweep("populate short names",
        [&] { return channel.PopulateShortNames({u"Quarterly report.docx"}, 64, &shortNames); },
        State);
  EXPECT_EQ(shortNames, std::vector<std::u16string>{u"QUARTE~1.DOC"});
  const protocol::CommandMessage query{0, protocol::kCommandOpenHandleReport, 0, 0};
  Sweep("open-handle report", [&] { return channel.SendInstallerRaw(&query, sizeof(query), 64); },
        State);
}

// An answer whose data goes mid-copy is not delivered, and leaves nothing
// of itself in the request's buffer: the whole answer that comes later is
// what the requester gets.
TEST_F(GuardedBuffersTest, AnswerIsDeliveredOnlyWhole) {
  client_->OnRequest(protocol::kRequestItemQuery, ScriptedAnswer::Held());
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::vector<std::uint8_t> reply(8, 0xAA);
  ULONG length = 0;
  std::thread requester([&] {
    const std::uint8_t payload = 0;
    status = SendRequestAndWait(&payload, 1, protocol::kRequestItemQuery, reply.data(), 8, &length);
  });
  ASSERT_TRUE(client_->WaitForHeld(1));
  const DriverMessage request = client_->TakeHeld().at(0);
  const std::uint8_t answer[6] = {1, 2, 3, 4, 5, 6};
  Sweep("answer", [&] { return client_->Channel().Answer(request, 0, answer, sizeof(answer)); },
        [&] { return std::to_string(status.load()); });
  requester.join();
  EXPECT_EQ(status.load(), STATUS_SUCCESS);
  EXPECT_EQ(reply, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}));
  EXPECT_EQ(length, 6u);
}

}  // namespace
}  // namespace tavo::testing
