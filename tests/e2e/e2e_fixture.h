// End-to-end fixture: the machine with the merged view's volume and the
// driver loaded (the driver tests' fixture), the reference agent running as
// TavoAgent.exe over a server folder on the host with a sample tree, and a
// few user processes.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent.h"
#include "driver_fixture.h"
#include "folder_server_store.h"
#include "nt_local_files.h"

namespace tavo::e2e {

inline constexpr char16_t kView[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\Tavo";
inline constexpr char16_t kBackend[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Cache";
inline constexpr char16_t kStaging[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Staging";
inline constexpr char16_t kSecondary[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\TavoSecondary";

inline std::u16string View(std::u16string_view rest) {
  return std::u16string(kView) + u"\\" + std::u16string(rest);
}
inline std::u16string Backend(std::u16string_view rest) {
  return std::u16string(kBackend) + u"\\" + std::u16string(rest);
}

struct Opened {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  HANDLE handle = nullptr;
  ULONG_PTR information = 0;
};

// What the driver's own request routine got back.
struct Exchange {
  NTSTATUS status = STATUS_PENDING;
  std::vector<std::uint8_t> reply;
  ULONG length = 0;
};

class EndToEndTest : public tavo::testing::DriverTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  void StartAgent();
  void StopAgent();

  // NtCreateFile as a process; the caller closes the handle.
  Opened OpenAs(std::uint32_t process, const std::u16string& path, ACCESS_MASK access,
                ULONG disposition, ULONG options = 0);
  std::string ReadAllAs(std::uint32_t process, HANDLE handle);
  // A request sent by the driver's own routine, as its I/O paths send them.
  Exchange Ask(std::uint32_t type, const std::vector<std::uint8_t>& payload, ULONG capacity);
  // A file of the server folder ("" when missing).
  std::string ServerFile(const std::string& relative) const;
  bool BackendHas(const std::u16string& rest);
  std::vector<std::string> Trace() const;

  std::filesystem::path serverFolder_;
  std::unique_ptr<agent::FolderServerStore> store_;
  std::unique_ptr<agent::NtLocalFiles> local_;
  std::unique_ptr<agent::Agent> agent_;
  std::chrono::milliseconds scanInterval_{0};  // the next StartAgent's upload period
  unsigned workerThreads_ = 4;                  // and its workers
  std::function<void(const std::string&)> onTrace_;  // sees every trace line
  std::uint32_t agentProcess_ = 0, explorer_ = 0, notepad_ = 0, indexer_ = 0;

 private:
  mutable std::mutex traceLock_;
  std::vector<std::string> trace_;
};

}  // namespace tavo::e2e
