#include "view_machine.h"

#include <cstdio>
#include <fstream>
#include <set>

#include "harness/clock.h"
#include "harness/pool.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "harness/volume.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace tavo::tool {
namespace {

namespace fs = std::filesystem;
using sim::harness::FromUtf8;
using sim::harness::ToUtf8;

const char* StatusName(NTSTATUS status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0x00000000: return "STATUS_SUCCESS";
    case 0x00000104: return "STATUS_REPARSE";
    case 0x80000005: return "STATUS_BUFFER_OVERFLOW";
    case 0x80000006: return "STATUS_NO_MORE_FILES";
    case 0xC0000001: return "STATUS_UNSUCCESSFUL";
    case 0xC000000F: return "STATUS_NO_SUCH_FILE";
    case 0xC0000022: return "STATUS_ACCESS_DENIED";
    case 0xC0000033: return "STATUS_OBJECT_NAME_INVALID";
    case 0xC0000034: return "STATUS_OBJECT_NAME_NOT_FOUND";
    case 0xC0000035: return "STATUS_OBJECT_NAME_COLLISION";
    case 0xC000003A: return "STATUS_OBJECT_PATH_NOT_FOUND";
    case 0xC0000043: return "STATUS_SHARING_VIOLATION";
    case 0xC0000056: return "STATUS_DELETE_PENDING";
    case 0xC0000101: return "STATUS_DIRECTORY_NOT_EMPTY";
    case 0xC0000106: return "STATUS_NAME_TOO_LONG";
    case 0xC0000037: return "STATUS_PORT_DISCONNECTED";
    default: return nullptr;
  }
}

// Writes every file and folder under the backend root `from` (an NT path)
// into the host folder `to`; collects the host paths written.
bool CopyOut(agent::NtLocalFiles& local, const std::u16string& from, const fs::path& to,
             std::set<fs::path>& kept) {
  auto items = local.List(from);
  if (!items) return false;
  bool ok = true;
  for (const agent::ItemInfo& item : *items) {
    if (item.name == u"." || item.name == u"..") continue;
    const fs::path host = to / ToUtf8(item.name);
    kept.insert(host);
    std::error_code error;
    if (item.isDirectory) {
      fs::create_directories(host, error);
      ok = CopyOut(local, from + u"\\" + item.name, host, kept) && ok;
      continue;
    }
    agent::Bytes contents;
    if (!local.ReadAll(from + u"\\" + item.name, &contents)) {
      ok = false;
      continue;
    }
    std::ofstream(host, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(contents.data()),
               static_cast<std::streamsize>(contents.size()));
  }
  return ok;
}

}  // namespace

std::string StatusText(NTSTATUS status) {
  if (const char* name = StatusName(status)) return name;
  char text[24];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

bool ViewMachine::Boot(const ViewMachineOptions& options, const Say& say) {
  cacheFolder_ = options.cacheFolder;
  sim::harness::SetRealTimeMode(true);
  sim::fs::VolumeOptions volumeOptions;
  volumeOptions.deviceName = kVolumeDevice;
  volume_ = sim::harness::MountNewVolume(u'C', volumeOptions);
  std::vector<sim::harness::FileSpec> folders;
  for (const char16_t* path :
       {u"\\Users\\alice\\Tavo", u"\\Users\\alice\\AppData\\Local\\Tavo\\Cache",
        u"\\Users\\alice\\AppData\\Local\\Tavo\\Staging", u"\\Users\\alice\\TavoSecondary",
        u"\\Users\\alice\\Documents"}) {
    sim::harness::FileSpec spec;
    spec.path = path;
    spec.directory = true;
    folders.push_back(spec);
  }
  volume_->Populate(folders);
  say("volume \\Device\\HarddiskVolume3 mounted as C:");
  say("  merged view    C:\\Users\\alice\\Tavo");
  say("  local copies   C:\\Users\\alice\\AppData\\Local\\Tavo\\Cache");
  say("  secondary view C:\\Users\\alice\\TavoSecondary");
  if (!cacheFolder_.empty()) {
    const std::u16string under =
        std::u16string(kBackendRoot).substr(std::u16string_view(kVolumeDevice).size());
    const NTSTATUS copied = volume_->PopulateFromHost(cacheFolder_, under);
    say("  local copies read from " + cacheFolder_.string() + " -> " + StatusText(copied));
    if (!NT_SUCCESS(copied)) return false;
  }
  local_ = std::make_unique<agent::NtLocalFiles>(kVolumeDevice, u"C:");
  // The ledger came in with the copies; before the driver is loaded it is
  // moved to where the agent keeps it.
  if (!cacheFolder_.empty() && fs::exists(cacheFolder_ / kLedgerHostName))
    local_->Rename(LedgerInCache(), LedgerInStaging(), /*replace=*/true);

  sim::harness::DriverOptions driverOptions;
  driverOptions.serviceName = u"TavoDriver";
  driverOptions.poolTag = sim::harness::PoolTag("Tavo");
  const NTSTATUS loaded = sim::harness::LoadDriver(DriverEntry, driverOptions, &driver_);
  say("driver loaded: DriverEntry -> " + StatusText(loaded));
  if (!NT_SUCCESS(loaded)) return false;

  agentProcess_ =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\Tavo\\TavoAgent.exe");
  store_ = std::make_unique<agent::FolderServerStore>(options.serverFolder);
  agent::AgentConfig config;
  config.roots = {kViewRoot, kBackendRoot, kSecondaryRoot};
  config.stagingFolder = kStagingFolder;
  config.blockList = options.blockList;
  config.allowList = options.allowList;
  config.scanInterval = options.scanInterval;
  const std::uint32_t agentProcess = agentProcess_;
  config.startThread = [agentProcess](std::function<void()> body) {
    return sim::harness::StartThreadAs(agentProcess, std::move(body));
  };
  config.trace = options.trace;
  agent_ = std::make_unique<agent::Agent>(config, *store_, *local_);
  const HRESULT started = agent_->Start();
  std::string lists;
  for (const client::ProcessListItem& item : options.blockList)
    lists += (lists.empty() ? "" : ", ") + ToUtf8(item.name) +
             (item.extension.empty() ? "" : ":" + ToUtf8(item.extension));
  say(std::string("agent TavoAgent.exe started: ") + (SUCCEEDED(started) ? "connected" : "failed") +
      "; block list: " + (lists.empty() ? "(empty)" : lists));
  if (FAILED(started)) agent_.reset();
  return agent_ != nullptr;
}

NTSTATUS ViewMachine::Stop() {
  if (agent_ != nullptr) {
    agent_->WaitIdle(std::chrono::seconds(5));
    agent_->Stop();
    agent_.reset();
  }
  NTSTATUS unloaded = STATUS_SUCCESS;
  if (driver_ != nullptr) {
    unloaded = sim::harness::UnloadDriver(driver_, /*mandatory=*/true);
    driver_ = nullptr;
  }
  return unloaded;
}

bool ViewMachine::SaveCacheFolder() {
  if (cacheFolder_.empty() || local_ == nullptr) return true;
  std::set<fs::path> kept;
  bool ok = false;
  sim::harness::RunAs(agentProcess_, [&] { ok = CopyOut(*local_, kBackendRoot, cacheFolder_, kept); });
  if (!ok) return false;
  agent::Bytes ledger;
  const fs::path ledgerOnHost = cacheFolder_ / kLedgerHostName;
  kept.insert(ledgerOnHost);
  sim::harness::RunAs(agentProcess_, [&] { ok = local_->ReadAll(LedgerInStaging(), &ledger); });
  if (ok) {
    std::ofstream(ledgerOnHost, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(ledger.data()), static_cast<std::streamsize>(ledger.size()));
  }
  // What the backend no longer holds leaves the host folder too.
  std::vector<fs::path> gone;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(cacheFolder_, error);
       it != fs::recursive_directory_iterator(); ++it) {
    if (kept.count(it->path()) == 0) {
      gone.push_back(it->path());
      it.disable_recursion_pending();
    }
  }
  for (const fs::path& path : gone) fs::remove_all(path, error);
  return true;
}

std::u16string ViewMachine::LedgerInCache() {
  return std::u16string(kBackendRoot) + u"\\" + FromUtf8(kLedgerHostName);
}

// Where the agent keeps its ledger: in its staging folder.
std::u16string ViewMachine::LedgerInStaging() {
  return std::u16string(kStagingFolder) + u"\\sync-ledger.txt";
}

bool ViewMachine::BackendHas(const std::u16string& relative) {
  return local_ != nullptr && local_->Stat(std::u16string(kBackendRoot) + u"\\" + relative).has_value();
}

}  // namespace tavo::tool
