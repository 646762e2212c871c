// Unload under load (callbacks still running on other volumes, alerts,
// clients leaving at the same moment) and what unload gives back.
#include <atomic>
#include <thread>

#include <ntapi.h>

#include "core/globals.h"
#include "driver_fixture.h"
#include "fltmgr/filter_manager.h"
#include "harness/debug_log.h"
#include "harness/ports.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "harness/threads.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

constexpr char16_t kOtherVolume[] = u"\\Device\\HarddiskVolume4";

class UnloadTest : public DriverTest {
 protected:
  void TearDown() override {
    sim::faults::Clear();
    DriverTest::TearDown();
  }
};

// Opens on another volume keep reaching the driver's create callback while
// a non-mandatory unload runs; nothing the callbacks use (roots, locks) may
// go before the Filter Manager has drained them.
TEST_F(UnloadTest, CallbacksOnAnotherVolumeAreDrainedBeforeAnythingIsFreed) {
  sim::fs::VolumeOptions options;
  options.deviceName = kOtherVolume;
  auto other = sim::fs::CreateVolume(options);
  sim::harness::MountVolume(kOtherVolume, u'D', other);
  ASSERT_EQ(Unload(false), STATUS_SUCCESS);  // reloaded below with both volumes attached
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ConnectAndConfigure();
    std::atomic<bool> stop{false};
    std::thread opener([&] {
      while (!stop) {
        HANDLE handle = nullptr;
        if (NT_SUCCESS(CreateFileHandle(std::u16string(kOtherVolume) + u"\\file.txt", nullptr,
                                        GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN_IF,
                                        FILE_SYNCHRONOUS_IO_NONALERT, &handle))) {
          NtClose(handle);
        }
      }
    });
    std::this_thread::yield();
    client_->Disconnect();
    EXPECT_EQ(Unload(false), STATUS_SUCCESS);
    stop = true;
    opener.join();
  }
}

// The worker has ended when unload returns, even if the unloading thread is
// alerted while it waits for it.
TEST_F(UnloadTest, AlertsDoNotLetUnloadOvertakeTheWorker) {
  ASSERT_TRUE(sim::harness::WaitUntilSystemThreadsWait());
  sim::faults::FailEvery(sim::faults::Site::AlertableWait);
  EXPECT_EQ(Unload(false), STATUS_SUCCESS);
  EXPECT_EQ(sim::harness::RunningSystemThreadCount(), 0u);
}

// A client that disconnects while unload closes its connections: the
// connection is closed once, by whichever comes first.
TEST_F(UnloadTest, ClientLeavingDuringUnloadIsClosedOnce) {
  for (int round = 0; round < 20; ++round) {
    if (!Loaded()) {
      ASSERT_EQ(Load(), STATUS_SUCCESS);
    }
    ConnectClient();
    std::thread leaving([&] { client_->Disconnect(); });
    EXPECT_EQ(Unload(false), STATUS_SUCCESS);
    leaving.join();
    EXPECT_TRUE(sim::harness::ports::OpenServerPorts().empty());
  }
}

// Unload gives everything back, with the client still connected: its
// ports, the worker and the configured volume (the fixture's leak check
// covers the roots, lists and tables). The volume is kept with one
// reference until then, whatever the number of configurations; detaching
// it asks the instance whether it may go.
TEST_F(UnloadTest, ReleasesEverythingTheVolumesOneReferenceIncluded) {
  ConnectClient();
  ASSERT_EQ(client_->Channel().Configure(1, kMergedViewRoot, kBackendRoot, u"").status, 0u);
  auto* volume = reinterpret_cast<_FLT_VOLUME*>(Globals.AttachedVolume);
  ASSERT_NE(volume, nullptr);
  const long configured = volume->references;
  ASSERT_EQ(client_->Channel().Configure(1, kMergedViewRoot, kBackendRoot, u"").status, 0u);
  EXPECT_EQ(volume->references, configured);
  ASSERT_EQ(client_->Channel().SendBlockList({{u"a.exe", u".pdf"}}).status, 0u);
  ASSERT_EQ(client_->Channel().SendAllowList({{u"b.exe", u""}}).status, 0u);
  sim::harness::TakeDebugLines();
  EXPECT_EQ(Unload(false), STATUS_SUCCESS);
  EXPECT_EQ(sim::harness::TakeDebugLines(),
            std::vector<std::string>{"TavoClientMergedViewInstanceQueryTeardown: OK to teardown"});
  EXPECT_TRUE(sim::harness::ports::OpenServerPorts().empty());
  EXPECT_TRUE(sim::harness::WaitForSystemThreads());
  EXPECT_EQ(Globals.FilterHandle, nullptr);
  EXPECT_EQ(Globals.AttachedVolume, nullptr);
  EXPECT_EQ(volume->references, configured - 1);
}

}  // namespace
}  // namespace tavo::testing
