// The simulated machine both `tavo demo` and `tavo mount` run: a C: volume
// with the merged view's folders, the driver loaded, and the reference agent
// serving a host folder as the server, running as its own process.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ntapi.h>

#include "agent.h"
#include "folder_server_store.h"
#include "fs/volume.h"
#include "harness/machine.h"
#include "nt_local_files.h"

namespace tavo::tool {

inline constexpr char16_t kVolumeDevice[] = u"\\Device\\HarddiskVolume3";
inline constexpr char16_t kViewRoot[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\Tavo";
inline constexpr char16_t kBackendRoot[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Cache";
inline constexpr char16_t kStagingFolder[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Staging";
inline constexpr char16_t kSecondaryRoot[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\TavoSecondary";

inline constexpr char kLedgerHostName[] = ".tavo-sync-ledger";

// "STATUS_ACCESS_DENIED" for the statuses people meet, else "0xC0000022".
std::string StatusText(NTSTATUS status);

struct ViewMachineOptions {
  std::filesystem::path serverFolder;  // the host folder the agent serves
  // A host folder whose tree is copied in as the local copies at boot
  // (empty: the local copies start empty and live in memory only). The
  // agent's sync ledger is kept beside them as kLedgerHostName, so that a
  // copy changed in a later session is uploaded as a change, not kept
  // beside the server's version as a conflict.
  std::filesystem::path cacheFolder;
  std::vector<client::ProcessListItem> blockList;
  std::optional<std::vector<client::ProcessListItem>> allowList;
  std::chrono::milliseconds scanInterval{0};  // the agent's upload scan period
  agent::TraceSink trace;                     // the agent's port messages; may be empty
};

class ViewMachine {
 public:
  using Say = std::function<void(const std::string&)>;

  // Mounts the volume, loads the driver and starts the agent on a machine
  // freshly reset, reporting each step through `say`. False when the driver
  // or the agent did not start (what did start is stopped by Stop).
  bool Boot(const ViewMachineOptions& options, const Say& say);
  // Stops the agent and unloads the driver (mandatory); returns the unload
  // status, or STATUS_SUCCESS when the driver was not loaded.
  NTSTATUS Stop();
  ~ViewMachine() { Stop(); }

  // Copies the local copies back over the host cache folder, so that it
  // holds exactly what the backend root holds, and the sync ledger beside
  // them. Nothing without a cache folder. Run it after Stop (the agent
  // writes its ledger when it stops).
  bool SaveCacheFolder();

  sim::fs::Volume& volume() { return *volume_; }
  agent::Agent& agent() { return *agent_; }
  bool AgentRunning() const { return agent_ != nullptr; }
  agent::NtLocalFiles& localFiles() { return *local_; }
  std::uint32_t agentProcess() const { return agentProcess_; }
  // Whether the backend root holds a copy of a view-relative path ("docs\a.txt").
  bool BackendHas(const std::u16string& relative);

 private:
  static std::u16string LedgerInCache();
  static std::u16string LedgerInStaging();

  std::filesystem::path cacheFolder_;
  std::shared_ptr<sim::fs::Volume> volume_;
  sim::harness::Driver* driver_ = nullptr;
  std::unique_ptr<agent::FolderServerStore> store_;
  std::unique_ptr<agent::NtLocalFiles> local_;
  std::unique_ptr<agent::Agent> agent_;
  std::uint32_t agentProcess_ = 0;
};

}  // namespace tavo::tool
