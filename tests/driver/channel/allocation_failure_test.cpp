// Every pool allocation the channel makes may fail. Each run below fails one
// of them in turn: the operation then fails cleanly or skips what it could
// not allocate, and nothing leaks (the fixture checks after unload).
#include "allocation_sweep.h"
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

}  // namespace
}  // namespace tavo::testing
