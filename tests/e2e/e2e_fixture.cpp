#include "e2e_fixture.h"

#include <ntapi.h>

#include <chrono>
#include <fstream>

#include "channel/request_exchange.h"
#include "harness/processes.h"
#include "harness/strings.h"

namespace tavo::e2e {

namespace fs = std::filesystem;

void EndToEndTest::SetUp() {
  DriverTest::SetUp();
  std::vector<sim::fs::FileSpec> folders;
  for (const char16_t* path :
       {u"\\Users\\alice\\Tavo", u"\\Users\\alice\\AppData\\Local\\Tavo\\Cache",
        u"\\Users\\alice\\AppData\\Local\\Tavo\\Staging", u"\\Users\\alice\\TavoSecondary",
        u"\\Users\\alice\\Documents"}) {
    sim::fs::FileSpec spec;
    spec.path = path;
    spec.directory = true;
    folders.push_back(spec);
  }
  ASSERT_EQ(volume_->Populate(folders), STATUS_SUCCESS);

  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  serverFolder_ = fs::temp_directory_path() /
                  ("tavo-e2e-" + std::string(test->name()) + "-" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::create_directories(serverFolder_ / "docs");
  fs::create_directories(serverFolder_ / "Photos");
  std::ofstream(serverFolder_ / "docs" / "notes.txt") << "server notes";
  std::ofstream(serverFolder_ / "docs" / "Quarterly Report 2024.docx") << "report";
  std::ofstream(serverFolder_ / "readme.txt") << "read me";
  std::ofstream(serverFolder_ / "Photos" / "beach.jpg") << std::string(100000, 'j');

  store_ = std::make_unique<agent::FolderServerStore>(serverFolder_);
  local_ = std::make_unique<agent::NtLocalFiles>(u"\\Device\\HarddiskVolume3", u"C:");
  agentProcess_ =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\Tavo\\TavoAgent.exe");
  explorer_ = sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\explorer.exe");
  notepad_ =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe");
  indexer_ =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\Indexer\\indexer.exe");
  StartAgent();
}

void EndToEndTest::TearDown() {
  StopAgent();
  DriverTest::TearDown();
  std::error_code ignored;
  fs::remove_all(serverFolder_, ignored);
}

void EndToEndTest::StartAgent() {
  agent::AgentConfig config;
  config.roots = {kView, kBackend, kSecondary};
  config.stagingFolder = kStaging;
  config.blockList = {{u"indexer.exe", u""}};
  config.scanInterval = scanInterval_;
  config.workerThreads = workerThreads_;
  const std::uint32_t process = agentProcess_;
  config.startThread = [process](std::function<void()> body) {
    return sim::harness::StartThreadAs(process, std::move(body));
  };
  config.trace = [this](const std::string& line) {
    {
      std::lock_guard guard(traceLock_);
      trace_.push_back(line);
    }
    if (onTrace_) onTrace_(line);
  };
  agent_ = std::make_unique<agent::Agent>(config, *store_, *local_);
  ASSERT_EQ(agent_->Start(), S_OK);
}

void EndToEndTest::StopAgent() {
  if (agent_ == nullptr) return;
  agent_->Stop();
  agent_.reset();
}

Opened EndToEndTest::OpenAs(std::uint32_t process, const std::u16string& path, ACCESS_MASK access,
                            ULONG disposition, ULONG options) {
  return sim::harness::RunAs(process, [&] {
    sim::harness::OwnedUnicodeString name{path};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    Opened opened;
    opened.status =
        NtCreateFile(&opened.handle, access | SYNCHRONIZE, &oa, &iosb, nullptr,
                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    opened.information = iosb.Information;
    if (!NT_SUCCESS(opened.status)) opened.handle = nullptr;
    return opened;
  });
}

std::string EndToEndTest::ReadAllAs(std::uint32_t process, HANDLE handle) {
  return sim::harness::RunAs(process, [&] {
    std::string text;
    char chunk[4096];
    for (;;) {
      IO_STATUS_BLOCK iosb{};
      if (!NT_SUCCESS(NtReadFile(handle, nullptr, nullptr, nullptr, &iosb, chunk, sizeof(chunk),
                                 nullptr, nullptr)) ||
          iosb.Information == 0) {
        return text;
      }
      text.append(chunk, iosb.Information);
    }
  });
}

Exchange EndToEndTest::Ask(std::uint32_t type, const std::vector<std::uint8_t>& payload,
                           ULONG capacity) {
  Exchange exchange;
  exchange.reply.assign(capacity, 0);
  exchange.status = SendRequestAndWait(payload.data(), static_cast<ULONG>(payload.size()), type,
                                       exchange.reply.data(), capacity, &exchange.length);
  return exchange;
}

std::string EndToEndTest::ServerFile(const std::string& relative) const {
  std::ifstream in(serverFolder_ / relative, std::ios::binary);
  if (!in) return "";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool EndToEndTest::BackendHas(const std::u16string& rest) {
  return sim::harness::RunAs(agentProcess_,
                             [&] { return local_->Stat(Backend(rest)).has_value(); });
}

std::vector<std::string> EndToEndTest::Trace() const {
  std::lock_guard guard(traceLock_);
  return trace_;
}

}  // namespace tavo::e2e
