#include "driver_fixture.h"

#include <ntapi.h>

#include <cstring>

#include "core/globals.h"
#include "harness/debug_log.h"
#include "harness/driver_image.h"
#include "harness/lock_order.h"
#include "harness/strings.h"
#include "port_messages.h"
#include "verifier/verifier.h"

namespace tavo::testing {
namespace {

void NameLocks() {
  sim::harness::NameLock(&Globals.OpenHandleTableLock, "OpenHandleTableLock");
  sim::harness::NameLock(&Globals.RootPathLock, "RootPathLock");
  sim::harness::NameLock(&Globals.BlockListLock, "BlockListLock");
  sim::harness::NameLock(&Globals.AllowListLock, "AllowListLock");
  sim::harness::NameLock(&Globals.StreamContextLock, "StreamContextLock");
  sim::harness::NameLock(&Globals.ShortNameTableLock, "ShortNameTableLock");
  sim::harness::NameLock(&Globals.ItemInfoCacheLock, "ItemInfoCacheLock");
  sim::harness::NameLock(&Globals.ReplyMutex, "ReplyMutex");
  sim::harness::NameLock(&Globals.PendingRequestListLock, "PendingRequestListLock");
}

}  // namespace

NTSTATUS CreateFileHandle(const std::u16string& path, HANDLE root, ACCESS_MASK access, ULONG share,
                          ULONG disposition, ULONG options, HANDLE* handle,
                          ULONG_PTR* information) {
  sim::harness::OwnedUnicodeString name(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK ioStatus{};
  const NTSTATUS status =
      NtCreateFile(handle, access, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                   disposition, options, nullptr, 0);
  if (information != nullptr) *information = ioStatus.Information;
  return status;
}

void DriverTest::SetUp() {
  sim::fs::VolumeOptions options;
  options.deviceName = kVolumeDevice;
  volume_ = sim::fs::CreateVolume(options);
  sim::harness::MountVolume(kVolumeDevice, u'C', volume_);
  client_ = std::make_unique<ScriptedClient>();
  if (loadOnSetUp_) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
  }
}

void DriverTest::TearDown() {
  client_.reset();  // the client goes first, as a real agent would at shutdown
  if (Loaded()) {
    EXPECT_EQ(Unload(/*mandatory=*/true), STATUS_SUCCESS);
  }
  EXPECT_EQ(sim::harness::ReportPoolLeaks(sim::harness::PoolTag("Tavo"), "after driver unload"),
            0u);
}

NTSTATUS DriverTest::Load() {
  sim::harness::DriverOptions options;
  options.serviceName = u"TavoDriver";
  // The driver's lock order: the verifier reports any thread taking these
  // against it.
  sim::harness::DeclareLockOrder({&Globals.ShortNameTableLock, &Globals.RootPathLock});
  sim::harness::DeclareLockOrder({&Globals.ReplyMutex, &Globals.PendingRequestListLock});
  NameLocks();
  // With TAVO_DRIVER_IMAGE set the native image runs instead (its locks are
  // its own, so the names and the order above do not reach them).
  const std::string image = sim::harness::DriverImageUnderTest();
  if (!image.empty()) {
    std::string error;
    const NTSTATUS status = sim::harness::LoadDriverImage(image, options, &driver_, &error);
    EXPECT_TRUE(error.empty()) << image << ": " << error;
    return status;
  }
  return sim::harness::LoadDriver(DriverEntry, options, &driver_);
}

NTSTATUS DriverTest::Unload(bool mandatory) {
  return sim::harness::UnloadDriver(driver_, mandatory);
}

void DriverTest::ConnectClient() {
  ASSERT_EQ(client_->Connect(), S_OK);
}

void DriverTest::ConnectAndConfigure() {
  ConnectClient();
  auto result = client_->Channel().Configure(1, kMergedViewRoot, kBackendRoot, kSecondaryViewRoot);
  ASSERT_EQ(result.hresult, S_OK);
}

client::CommandResult DriverTest::OpenHandleReport(std::uint32_t capacity) {
  const protocol::CommandMessage query{0, protocol::kCommandOpenHandleReport, 0, 0};
  return client_->Channel().SendInstallerRaw(&query, sizeof(query), capacity);
}

std::u16string DriverTest::ServerItemHolders() {
  const client::CommandResult result = OpenHandleReport(4096);
  EXPECT_EQ(result.hresult, S_OK);
  EXPECT_EQ(result.status, 0u);
  if (result.data.empty()) return u"";
  std::u16string names = TextOf(result.data, 0, result.data.size());
  while (!names.empty() && names.back() == u'\0') names.pop_back();
  return names;
}

bool DriverTest::ServerItemOpen(const std::u16string& path) {
  const std::size_t before = sim::harness::PeekDebugMessages().size();
  ServerItemHolders();
  const std::vector<sim::harness::DebugMessage> log = sim::harness::PeekDebugMessages();
  const std::string suffix = " has an open handle to file/folder " + sim::harness::ToUtf8(path);
  for (std::size_t i = before; i < log.size(); ++i) {
    const std::string line = log[i].Line();
    if (line.size() >= suffix.size() &&
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return true;
    }
  }
  return false;
}

bool DriverTest::RunsImage() { return !sim::harness::DriverImageUnderTest().empty(); }

std::vector<std::uint8_t> Bytes(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  return {bytes, bytes + length};
}

std::u16string TextOf(const std::vector<std::uint8_t>& bytes, std::size_t offset,
                      std::size_t length) {
  std::u16string text(length / 2, u'\0');
  std::memcpy(text.data(), bytes.data() + offset, text.size() * 2);
  return text;
}

}  // namespace tavo::testing
