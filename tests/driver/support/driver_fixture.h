// Fixture of the driver tests: a machine with the merged view's volume, the
// driver loaded, and a scripted client. Every test ends with the driver
// unloaded and no pool of the driver's tag left behind.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "fs/volume.h"
#include "harness/machine.h"
#include "harness/pool.h"
#include "scripted_client.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace tavo::testing {

inline constexpr char16_t kVolumeDevice[] = u"\\Device\\HarddiskVolume3";
inline constexpr char16_t kMergedViewRoot[] = u"\\Device\\HarddiskVolume3\\Users\\ann\\Tavo";
inline constexpr char16_t kBackendRoot[] =
    u"\\Device\\HarddiskVolume3\\Users\\ann\\AppData\\Local\\Tavo\\cache";
inline constexpr char16_t kSecondaryViewRoot[] = u"\\Device\\HarddiskVolume3\\Users\\ann\\OneTavo";

// The name of a table-driven test's instance: its row's `what`, as an identifier.
template <typename Info>
std::string RowName(const Info& info) {
  std::string name = info.param.what;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads the driver (SetUp does it unless the test opts out with
  // loadOnSetUp_ = false in its constructor).
  NTSTATUS Load();
  NTSTATUS Unload(bool mandatory);
  bool Loaded() const { return driver_ != nullptr && driver_->loaded; }

  // Connects the scripted client to the four ports.
  void ConnectClient();
  // Connects and sends the configuration with the standard roots.
  void ConnectAndConfigure();
  // The installer port's report of the processes holding server-only items,
  // with room for `capacity` bytes.
  client::CommandResult OpenHandleReport(std::uint32_t capacity);
  // What the installer port reports: the processes holding server-only
  // items, comma-separated ("" when none hold any). Needs the client.
  std::u16string ServerItemHolders();
  // Whether that report has an opener of the server item at `path` (the
  // driver prints each one with its item). The report's lines stay in the
  // debug log.
  bool ServerItemOpen(const std::u16string& path);
  // Whether the native image runs instead of the linked-in driver, whose
  // internals then hold nothing.
  static bool RunsImage();

  bool loadOnSetUp_ = true;
  std::shared_ptr<sim::fs::Volume> volume_;
  sim::harness::Driver* driver_ = nullptr;
  std::unique_ptr<ScriptedClient> client_;
};

// The driver loaded and the scripted client connected.
class ConnectedDriverTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ConnectClient();
  }
};

// What a test puts on the volume: a folder, or a file with its contents.
inline sim::fs::FileSpec DirSpec(std::u16string onVolume) {
  sim::fs::FileSpec spec;
  spec.path = std::move(onVolume);
  spec.directory = true;
  return spec;
}
inline sim::fs::FileSpec FileSpecOf(std::u16string onVolume, std::string contents = {}) {
  sim::fs::FileSpec spec;
  spec.path = std::move(onVolume);
  spec.contents = std::move(contents);
  return spec;
}

// NtCreateFile of `path` (relative to `root` when given) in the calling
// process; `information` receives the I/O status's.
NTSTATUS CreateFileHandle(const std::u16string& path, HANDLE root, ACCESS_MASK access, ULONG share,
                          ULONG disposition, ULONG options, HANDLE* handle,
                          ULONG_PTR* information = nullptr);

// Counted-string and byte helpers for assertions.
std::vector<std::uint8_t> Bytes(const void* data, std::size_t length);
std::u16string TextOf(const std::vector<std::uint8_t>& bytes, std::size_t offset,
                      std::size_t length);

}  // namespace tavo::testing
