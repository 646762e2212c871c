// Handle contexts of opens of the merged-view root: one that marks nothing
// (the root reconfigured while the file system opens it), which cleanup and
// close must treat as an ordinary handle, and one that cannot be attached.
#include <ntapi.h>

#include <functional>

#include "name_probe_filter.h"
#include "verifier/faults.h"
#include "names_fixture.h"

namespace tavo::testing {
namespace {

class RootReconfiguredTest : public NamesTest {
 protected:
  void TearDown() override {
    UnloadNameProbe(probe_);
    NamesTest::TearDown();
  }

  // Opens `path` (the root, in some form) as a directory with the probe
  // filter below the driver; `onRootCreate` runs in the probe's pre-create
  // of that create (not of the driver's backend probe, which passes there
  // too).
  NTSTATUS OpenRoot(const std::u16string& path, std::function<void(PFILE_OBJECT)> onRootCreate,
                    HANDLE* handle) {
    EXPECT_EQ(volume_->Populate({DirSpec(u"\\Users\\ann\\Tavo")}), STATUS_SUCCESS);
    probe_ = LoadNameProbe(ProbeProvider::None);
    SetCreateHook([&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) {
      PFILE_OBJECT fileObject = data->Iopb->TargetFileObject;
      const std::u16string opened = sim::harness::ToU16(fileObject->FileName);
      if (opened.find(u"AppData") == std::u16string::npos) onRootCreate(fileObject);
    });
    const NTSTATUS status = CreateFileHandle(
        path, nullptr, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
        FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, handle);
    SetCreateHook(nullptr);
    return status;
  }

  sim::harness::Driver* probe_ = nullptr;
};

TEST_F(RootReconfiguredTest, HandleContextWithoutEntryIsAnOrdinaryHandle) {
  bool reconfigured = false;
  sim::faults::Clear();
  HANDLE handle = nullptr;
  ASSERT_EQ(OpenRoot(kRoot,
                     [&](PFILE_OBJECT) {
                       if (reconfigured) return;
                       reconfigured = true;
                       client_->Channel().Configure(
                           1, u"\\Device\\HarddiskVolume3\\Users\\ann\\Elsewhere",
                           kBackendRoot, kSecondaryViewRoot);
                     },
                     &handle),
            STATUS_SUCCESS);
  EXPECT_TRUE(reconfigured);
  // The post-create made its handle context (for the old root's name).
  EXPECT_EQ(sim::faults::CallCount(sim::faults::Site::ContextAllocation), 1u);
  EXPECT_EQ(volume_->OpenFileObjectCount(), 1u);
  // A create relative to it is an ordinary create in that folder on disk.
  HANDLE made = nullptr;
  EXPECT_EQ(CreateFileHandle(u"made.txt", handle, GENERIC_WRITE | SYNCHRONIZE, 0, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &made),
            STATUS_SUCCESS);
  if (made != nullptr) NtClose(made);
  EXPECT_NE(volume_->DumpTree({false, false}).find("\\Users\\ann\\Tavo\\made.txt"),
            std::string::npos);
  EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
  // The file system saw the cleanup and the close.
  EXPECT_EQ(volume_->OpenFileObjectCount(), 0u);
  EXPECT_EQ(ServerItemHolders(), u"");
}

// A root open whose handle context cannot be attached (a volume without
// filter-context support) fails; the open is cancelled below the driver
// first, so the file system sees the root opened and closed again.
TEST_F(RootReconfiguredTest, RootOpenWithoutAHandleContextIsCancelledBelow) {
  volume_->SetFilterContextSupport(false);
  HANDLE handle = nullptr;
  EXPECT_EQ(OpenRoot(
                kRoot, [](PFILE_OBJECT) {}, &handle),
            STATUS_INTERNAL_ERROR);
  EXPECT_EQ(volume_->OpenFileObjectCount(), 0u);
}

}  // namespace
}  // namespace tavo::testing
