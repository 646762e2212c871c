// Every pool allocation the channel makes may fail. Each run below fails one
// of them in turn: the operation then fails cleanly or skips what it could
// not allocate, and nothing leaks (the fixture checks after unload).
#include "allocation_sweep.h"
#include "channel/request_exchange.h"
#include "driver_fixture.h"
#include "harness/pool.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using sim::faults::Site;

const std::uint32_t kTag = sim::harness::PoolTag("Tavo");

class AllocationFailureTest : public ConnectedDriverTest {
 protected:
  template <class Operation>
  void Sweep(Operation operation) {
    SweepPool(kTag, operation, [] {});
  }
};

TEST_F(AllocationFailureTest, ListCommands) {
  Sweep([&](bool failing) {
    auto block = client_->Channel().SendBlockList(
        {{u"a.exe", u".pdf"}, {u"a.exe", u".doc"}, {u"b.exe", u""}});
    auto allow = client_->Channel().SendAllowList({{u"c.exe", u""}});
    if (!failing) {
      EXPECT_EQ(block.hresult, S_OK);
      EXPECT_EQ(allow.hresult, S_OK);
    }
  });
}

TEST_F(AllocationFailureTest, ConfigurationAndShortNames) {
  Sweep([&](bool failing) {
    auto configure =
        client_->Channel().Configure(2, kMergedViewRoot, kBackendRoot, kSecondaryViewRoot);
    std::vector<std::u16string> names;
    auto populate = client_->Channel().PopulateShortNames(
        {u"Long File Name.txt", u"Long File Other.txt"}, 64, &names);
    if (!failing) {
      EXPECT_EQ(configure.hresult, S_OK);
      EXPECT_EQ(populate.hresult, S_OK);
    }
  });
}

TEST_F(AllocationFailureTest, RequestsAndAnswers) {
  client_->OnRequest(
      3, [](const DriverMessage& request) { return ScriptedAnswer::Now(0, request.payload); });
  Sweep([&](bool failing) {
    std::uint8_t payload[4] = {1, 2, 3, 4}, reply[4] = {};
    ULONG length = 0;
    const NTSTATUS status = SendRequestAndWait(payload, 4, 3, reply, 4, &length);
    if (!failing) {
      EXPECT_EQ(status, STATUS_SUCCESS);
    } else {
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
          << std::hex << status;
    }
  });
}

}  // namespace
}  // namespace tavo::testing
