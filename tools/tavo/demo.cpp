#include "demo.h"

#include <ntapi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "agent.h"
#include "directory_listing.h"
#include "folder_server_store.h"
#include "harness/clock.h"
#include "harness/debug_log.h"
#include "harness/machine.h"
#include "harness/pool.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "harness/volume.h"
#include "nt_local_files.h"
#include "text.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace tavo::tool {
namespace {

namespace fs = std::filesystem;
using sim::harness::FromUtf8;
using sim::harness::ToUtf8;

constexpr char16_t kVolumeDevice[] = u"\\Device\\HarddiskVolume3";
constexpr char16_t kViewRoot[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\Tavo";
constexpr char16_t kBackendRoot[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Cache";
constexpr char16_t kStagingFolder[] =
    u"\\Device\\HarddiskVolume3\\Users\\alice\\AppData\\Local\\Tavo\\Staging";
constexpr char16_t kSecondaryRoot[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\TavoSecondary";

const char* StatusName(NTSTATUS status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0x00000000:
      return "STATUS_SUCCESS";
    case 0x00000104:
      return "STATUS_REPARSE";
    case 0x80000005:
      return "STATUS_BUFFER_OVERFLOW";
    case 0x80000006:
      return "STATUS_NO_MORE_FILES";
    case 0xC0000001:
      return "STATUS_UNSUCCESSFUL";
    case 0xC000000F:
      return "STATUS_NO_SUCH_FILE";
    case 0xC0000022:
      return "STATUS_ACCESS_DENIED";
    case 0xC0000034:
      return "STATUS_OBJECT_NAME_NOT_FOUND";
    case 0xC0000035:
      return "STATUS_OBJECT_NAME_COLLISION";
    case 0xC000003A:
      return "STATUS_OBJECT_PATH_NOT_FOUND";
    case 0xC0000043:
      return "STATUS_SHARING_VIOLATION";
    case 0xC0000106:
      return "STATUS_NAME_TOO_LONG";
    case 0xC0000037:
      return "STATUS_PORT_DISCONNECTED";
    default:
      return nullptr;
  }
}

std::string StatusText(NTSTATUS status) {
  if (const char* name = StatusName(status)) return name;
  char text[24];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Lines from several threads (the agent's trace, the walk) kept whole.
class Printer {
 public:
  explicit Printer(std::ostream& out) : out_(out) {}
  void Line(const std::string& text) {
    std::lock_guard guard(lock_);
    out_ << text << "\n";
    out_.flush();
  }

 private:
  std::ostream& out_;
  std::mutex lock_;
};

// The DOS form of a view path, for printing: C:\Users\alice\Tavo\...
std::string Dos(const std::u16string& devicePath) {
  return "C:" +
         ToUtf8(std::u16string_view(devicePath).substr(std::u16string_view(kVolumeDevice).size()));
}

struct Opened {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  HANDLE handle = nullptr;
  ULONG_PTR information = 0;
};

Opened Open(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options = 0) {
  sim::harness::OwnedUnicodeString name{path};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  Opened opened;
  opened.status =
      NtCreateFile(&opened.handle, access | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  opened.information = iosb.Information;
  if (!NT_SUCCESS(opened.status)) opened.handle = nullptr;
  return opened;
}

// Renames the file behind the handle to a device path, by its DOS-device
// name ("\??\C:\..."), as MoveFileEx does.
NTSTATUS RenameTo(HANDLE handle, const std::u16string& devicePath, bool replace) {
  const std::u16string name =
      u"\\??\\C:" + devicePath.substr(std::u16string_view(kVolumeDevice).size());
  std::vector<std::uint64_t> storage((sizeof(FILE_RENAME_INFORMATION) + name.size() * 2) / 8 + 1);
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->FileNameLength = static_cast<ULONG>(name.size() * 2);
  std::memcpy(info->FileName, name.data(), name.size() * 2);
  IO_STATUS_BLOCK iosb{};
  return NtSetInformationFile(handle, &iosb, info, static_cast<ULONG>(storage.size() * 8),
                              FileRenameInformation);
}

std::string ReadAll(HANDLE handle) {
  std::string text;
  char chunk[4096];
  for (;;) {
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS status = NtReadFile(handle, nullptr, nullptr, nullptr, &iosb, chunk,
                                       sizeof(chunk), nullptr, nullptr);
    if (!NT_SUCCESS(status) || iosb.Information == 0) return text;
    text.append(chunk, iosb.Information);
  }
}

void WriteSampleServer(const fs::path& root) {
  auto put = [&](const fs::path& relative, const std::string& contents) {
    fs::create_directories((root / relative).parent_path());
    std::ofstream(root / relative, std::ios::binary) << contents;
  };
  put("readme.txt", "Welcome to the Tavo share.\n");
  put("docs/notes.txt", "Meeting notes: ship the merged view on Friday.\n");
  put("docs/Quarterly Report 2024.docx", "Revenue went up. (a stand-in for a document)\n");
  put("Photos/beach.jpg", std::string(2048, '\x7F'));
  fs::create_directories(root / "Archive");
}

void DumpHostTree(const fs::path& root, Printer& print) {
  std::vector<std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string line = "  " + fs::relative(entry.path(), root).generic_string();
    for (char& c : line) c = c == '/' ? '\\' : c;
    if (entry.is_directory()) {
      line += "\\";
    } else {
      line += "  (" + std::to_string(entry.file_size()) + " bytes)";
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) print.Line(line);
}

class Walk {
 public:
  Walk(const DemoOptions& options, std::ostream& out) : options_(options), print_(out) {}
  int Run();

 private:
  void Section(const std::string& title) {
    FlushDebug();
    print_.Line("");
    print_.Line("== " + title);
  }
  void FlushDebug() {
    if (!options_.verbose) {
      sim::harness::ClearDebugLog();
      return;
    }
    for (const std::string& line : sim::harness::TakeDebugLines())
      print_.Line("   [driver] " + line);
  }
  void Op(const char* process, const std::string& what, NTSTATUS status,
          const std::string& extra = {}) {
    if (agent_) agent_->WaitIdle(std::chrono::seconds(5));
    FlushDebug();
    print_.Line(std::string("[") + process + "] " + what + " -> " + StatusText(status) +
                (extra.empty() ? "" : "  " + extra));
  }
  void Check(bool ok, const std::string& what) {
    if (!ok) {
      ++failures_;
      print_.Line("   !! unexpected: " + what);
    }
  }
  bool BackendHas(const std::u16string& rest) {
    return local_->Stat(std::u16string(kBackendRoot) + u"\\" + rest).has_value();
  }
  std::u16string InView(const std::u16string& rest) {
    return std::u16string(kViewRoot) + u"\\" + rest;
  }

  bool Boot();
  void MetadataLook();
  void DataOpen();
  void BlockedProcess();
  void Listings();
  void PrintListing(const char* process, const std::u16string& folder, const std::u16string& under);
  void NewFile();
  void ShortName();
  void NewFolder();
  void OutsideTheView();
  void RenamesAndDeletes();
  void Finish();

  DemoOptions options_;
  Printer print_;
  int failures_ = 0;
  fs::path server_;
  bool ownServer_ = false;
  std::shared_ptr<sim::fs::Volume> volume_;
  sim::harness::Driver* driver_ = nullptr;
  std::unique_ptr<agent::FolderServerStore> store_;
  std::unique_ptr<agent::NtLocalFiles> local_;
  std::unique_ptr<agent::Agent> agent_;
  std::uint32_t explorer_ = 0, notepad_ = 0, indexer_ = 0, agentProcess_ = 0;
};

bool Walk::Boot() {
  Section("boot");
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
  print_.Line("volume \\Device\\HarddiskVolume3 mounted as C:");
  print_.Line("  merged view    C:\\Users\\alice\\Tavo");
  print_.Line("  local copies   C:\\Users\\alice\\AppData\\Local\\Tavo\\Cache");
  print_.Line("  secondary view C:\\Users\\alice\\TavoSecondary");

  if (options_.serverFolder.empty()) {
    server_ = fs::temp_directory_path() /
              ("tavo-demo-server-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    WriteSampleServer(server_);
    ownServer_ = true;
  } else {
    server_ = options_.serverFolder;
  }
  print_.Line("server folder " + server_.string() + ":");
  DumpHostTree(server_, print_);

  sim::harness::DriverOptions driverOptions;
  driverOptions.serviceName = u"TavoDriver";
  driverOptions.poolTag = sim::harness::PoolTag("Tavo");
  const NTSTATUS loaded = sim::harness::LoadDriver(DriverEntry, driverOptions, &driver_);
  print_.Line("driver loaded: DriverEntry -> " + StatusText(loaded));
  if (!NT_SUCCESS(loaded)) return false;

  explorer_ = sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\explorer.exe");
  notepad_ =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe");
  indexer_ =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\Indexer\\indexer.exe");
  agentProcess_ =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\Tavo\\TavoAgent.exe");

  store_ = std::make_unique<agent::FolderServerStore>(server_);
  local_ = std::make_unique<agent::NtLocalFiles>(kVolumeDevice, u"C:");
  agent::AgentConfig config;
  config.roots = {kViewRoot, kBackendRoot, kSecondaryRoot};
  config.stagingFolder = kStagingFolder;
  config.blockList = {{u"indexer.exe", u""}};
  const std::uint32_t agentProcess = agentProcess_;
  config.startThread = [agentProcess](std::function<void()> body) {
    return sim::harness::StartThreadAs(agentProcess, std::move(body));
  };
  config.trace = [this](const std::string& line) { print_.Line("   " + line); };
  agent_ = std::make_unique<agent::Agent>(config, *store_, *local_);
  const HRESULT started = agent_->Start();
  print_.Line(std::string("agent TavoAgent.exe started: ") +
              (SUCCEEDED(started) ? "connected" : "failed") + "; block list: indexer.exe");
  return SUCCEEDED(started);
}

void Walk::MetadataLook() {
  Section("a metadata look at a server-only file (no download)");
  sim::harness::RunAs(explorer_, [&] {
    const std::u16string path = InView(u"docs\\notes.txt");
    Opened opened = Open(path, FILE_READ_ATTRIBUTES, FILE_OPEN);
    Op("explorer.exe", "open " + Dos(path) + " for FILE_READ_ATTRIBUTES", opened.status,
       NT_SUCCESS(opened.status) ? "(a virtual open of the server item)" : "");
    Check(NT_SUCCESS(opened.status), "the metadata open should succeed");
    if (opened.handle == nullptr) return;
    // The driver answers from what the server reported at the open.
    FILE_NETWORK_OPEN_INFORMATION info{};
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS queried = NtQueryInformationFile(opened.handle, &iosb, &info, sizeof(info),
                                                    FileNetworkOpenInformation);
    char attributes[16];
    std::snprintf(attributes, sizeof(attributes), "0x%x", static_cast<unsigned>(info.FileAttributes));
    Op("explorer.exe", "query FileNetworkOpenInformation", queried,
       NT_SUCCESS(queried) ? "size " + std::to_string(info.EndOfFile.QuadPart) + ", attributes " +
                                 attributes + ", last write " +
                                 std::to_string(info.LastWriteTime.QuadPart)
                           : "");
    Check(NT_SUCCESS(queried), "the metadata query should be answered without a download");
    NtClose(opened.handle);
  });
  const bool copied = BackendHas(u"docs\\notes.txt");
  print_.Line(std::string("   local copy present: ") +
              (copied ? "yes" : "no (nothing was downloaded)"));
  Check(!copied, "a metadata open must not download");
}

void Walk::DataOpen() {
  Section("a data open (download, reparse to the local copy, read)");
  sim::harness::RunAs(notepad_, [&] {
    const std::u16string path = InView(u"docs\\notes.txt");
    Opened opened = Open(path, GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    std::string contents;
    if (NT_SUCCESS(opened.status)) {
      contents = ReadAll(opened.handle);
      NtClose(opened.handle);
    }
    Op("notepad.exe", "open " + Dos(path) + " for GENERIC_READ", opened.status);
    if (!contents.empty()) {
      while (!contents.empty() && contents.back() == '\n') contents.pop_back();
      print_.Line("   contents: \"" + contents + "\"");
    }
    Check(NT_SUCCESS(opened.status) && !contents.empty(),
          "the data open should read the server's contents");
  });
  const bool copied = BackendHas(u"docs\\notes.txt");
  print_.Line(std::string("   local copy present: ") + (copied ? "yes" : "no"));
  Check(copied, "the data open should leave a local copy");
}

void Walk::BlockedProcess() {
  Section("a blocked process is refused the download");
  sim::harness::RunAs(indexer_, [&] {
    const std::u16string path = InView(u"readme.txt");
    Opened opened = Open(path, GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (opened.handle != nullptr) NtClose(opened.handle);
    Op("indexer.exe", "open " + Dos(path) + " for GENERIC_READ", opened.status);
    Check(opened.status == STATUS_ACCESS_DENIED,
          "a blocked process should get STATUS_ACCESS_DENIED");
  });
  Check(!BackendHas(u"readme.txt"), "nothing may be downloaded for a blocked process");
}

// `dir` of a view folder as a process: each entry with its size, and
// whether a local copy of it exists or it is on the server only.
void Walk::PrintListing(const char* process, const std::u16string& folder,
                        const std::u16string& under) {
  Opened opened = Open(folder, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
  DirectoryListing listing;
  if (opened.handle != nullptr) {
    listing = ListDirectory(opened.handle);
    NtClose(opened.handle);
  }
  Op(process, "dir " + Dos(folder), listing.status,
     std::to_string(listing.entries.size()) + " entries");
  for (const ListedEntry& entry : listing.entries) {
    if (entry.name == u"." || entry.name == u"..") continue;
    const std::u16string relative = under.empty() ? entry.name : under + u"\\" + entry.name;
    const std::string where = BackendHas(relative) ? "local copy" : "server only";
    print_.Line("   " + ToUtf8(entry.name) +
                (entry.directory ? "  <DIR>" : "  " + std::to_string(entry.size) + " bytes") +
                "  (" + where + ")");
  }
  Check(listing.status == STATUS_NO_MORE_FILES || listing.status == STATUS_NO_SUCH_FILE,
        "a listing should end with STATUS_NO_MORE_FILES");
}

void Walk::Listings() {
  Section("listings: the view is the server folder united with the local copies");
  sim::harness::RunAs(explorer_, [&] {
    PrintListing("explorer.exe", kViewRoot, u"");
    PrintListing("explorer.exe", InView(u"docs"), u"docs");
  });
  sim::harness::RunAs(indexer_, [&] {
    Opened opened = Open(kViewRoot, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    DirectoryListing listing;
    if (opened.handle != nullptr) {
      listing = ListDirectory(opened.handle);
      NtClose(opened.handle);
    }
    Op("indexer.exe", "dir " + Dos(kViewRoot), listing.status,
       std::to_string(listing.entries.size()) + " entries (a no-listing process sees it empty)");
    Check(listing.status == STATUS_NO_MORE_FILES && listing.entries.empty(),
          "a no-listing process should see the view empty");
  });
}

void Walk::NewFile() {
  Section("a new file created in the view (prepared, created locally, reported, uploaded)");
  const std::u16string path = InView(u"docs\\todo.txt");
  sim::harness::RunAs(notepad_, [&] {
    Opened opened = Open(path, GENERIC_WRITE | GENERIC_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    Op("notepad.exe", "create " + Dos(path), opened.status);
    Check(NT_SUCCESS(opened.status), "the create should succeed");
    if (!NT_SUCCESS(opened.status)) return;
    std::string text = "buy milk\n";
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS wrote = NtWriteFile(opened.handle, nullptr, nullptr, nullptr, &iosb, text.data(),
                                       static_cast<ULONG>(text.size()), nullptr, nullptr);
    Op("notepad.exe", "write 9 bytes", wrote);
    Op("notepad.exe", "close", NtClose(opened.handle));
  });
  const std::size_t uploaded = agent_->SyncNow();
  print_.Line("   upload scan: " + std::to_string(uploaded) + " file(s) uploaded");
  Check(fs::exists(server_ / "docs" / "todo.txt") &&
            fs::file_size(server_ / "docs" / "todo.txt") == 9,
        "the new file should be on the server with its contents");
}

void Walk::ShortName() {
  Section("a short (8.3) name resolved");
  // What a listing in a "Both" class reports for the folder; the agent
  // remembers the names it handed out and translates them back.
  std::u16string shortName;
  sim::harness::RunAs(agentProcess_, [&] {
    if (auto items = agent_->handler().MergedFolder(u"docs")) {
      std::vector<std::u16string> names;
      for (const auto& item : *items) names.push_back(item.name);
      auto shorts = agent_->handler().shortNames().ForFolder(u"docs", names);
      auto it = shorts.find(agent::Upcase(u"Quarterly Report 2024.docx"));
      if (it != shorts.end()) shortName = it->second;
    }
  });
  print_.Line("   the short name of \"Quarterly Report 2024.docx\" is " + ToUtf8(shortName));
  sim::harness::RunAs(explorer_, [&] {
    const std::u16string path = InView(u"docs\\" + shortName);
    Opened opened = Open(path, GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    std::string contents;
    if (NT_SUCCESS(opened.status)) {
      contents = ReadAll(opened.handle);
      NtClose(opened.handle);
    }
    while (!contents.empty() && contents.back() == '\n') contents.pop_back();
    Op("explorer.exe", "open " + Dos(path) + " for GENERIC_READ", opened.status,
       contents.empty() ? "" : "contents: \"" + contents + "\"");
    Check(!shortName.empty() && NT_SUCCESS(opened.status), "the short name should open the item");
  });
}

void Walk::NewFolder() {
  Section("a new folder created in the view (created on the server)");
  sim::harness::RunAs(explorer_, [&] {
    const std::u16string path = InView(u"Projects");
    Opened opened = Open(path, FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    if (opened.handle != nullptr) NtClose(opened.handle);
    Op("explorer.exe", "create folder " + Dos(path), opened.status);
    Check(NT_SUCCESS(opened.status), "the folder create should succeed");
  });
  Check(fs::is_directory(server_ / "Projects"), "the folder should exist on the server");
}

void Walk::OutsideTheView() {
  Section("a name outside the view passes untouched");
  const std::uint64_t before = agent_->counters().requests;
  sim::harness::RunAs(notepad_, [&] {
    const std::u16string path = u"\\Device\\HarddiskVolume3\\Users\\alice\\Documents\\letter.txt";
    Opened opened = Open(path, GENERIC_WRITE, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE);
    if (opened.handle != nullptr) NtClose(opened.handle);
    Op("notepad.exe", "open-if " + Dos(path), opened.status);
    Check(NT_SUCCESS(opened.status), "a create outside the view should succeed");
  });
  const std::uint64_t asked = agent_->counters().requests - before;
  print_.Line("   requests to the agent: " + std::to_string(asked));
  Check(asked == 0, "nothing outside the view may reach the agent");
}

void Walk::RenamesAndDeletes() {
  Section("renames and deletes (on the server, and a local file moved into the view)");
  sim::harness::RunAs(explorer_, [&] {
    const std::u16string from = InView(u"readme.txt"), to = InView(u"README first.txt");
    Opened opened = Open(from, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
    const NTSTATUS renamed = opened.handle ? RenameTo(opened.handle, to, false) : opened.status;
    if (opened.handle != nullptr) NtClose(opened.handle);
    Op("explorer.exe", "rename " + Dos(from) + " to " + Dos(to), renamed,
       "(renamed on the server)");
    Check(renamed == STATUS_SUCCESS, "the rename of a server item should succeed");

    const std::u16string photo = InView(u"Photos\\beach.jpg");
    opened = Open(photo, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS marked =
        opened.handle ? NtSetInformationFile(opened.handle, &iosb, &disposition,
                                             sizeof(disposition), FileDispositionInformation)
                      : opened.status;
    if (opened.handle != nullptr) NtClose(opened.handle);
    Op("explorer.exe", "delete " + Dos(photo), marked, "(deleted on the server at the close)");
    Check(marked == STATUS_SUCCESS, "the delete of a server item should succeed");

    const std::u16string download = std::u16string(kVolumeDevice) + u"\\Users\\alice\\report.txt";
    const std::u16string into = InView(u"docs\\report.txt");
    opened = Open(download, GENERIC_WRITE | DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    if (opened.handle != nullptr) {
      std::string text = "downloaded report\n";
      NtWriteFile(opened.handle, nullptr, nullptr, nullptr, &iosb, text.data(),
                  static_cast<ULONG>(text.size()), nullptr, nullptr);
    }
    const NTSTATUS moved = opened.handle ? RenameTo(opened.handle, into, false) : opened.status;
    if (opened.handle != nullptr) NtClose(opened.handle);
    Op("explorer.exe", "move " + Dos(download) + " to " + Dos(into), moved,
       "(lands under the local copies, reported)");
    Check(moved == STATUS_SUCCESS, "the move into the view should succeed");
  });
  const std::size_t uploaded = agent_->SyncNow();
  print_.Line("   upload scan: " + std::to_string(uploaded) + " file(s) uploaded");
  Check(fs::exists(server_ / "README first.txt") && !fs::exists(server_ / "readme.txt"),
        "the server should hold the new name only");
  Check(!fs::exists(server_ / "Photos" / "beach.jpg"), "the deleted file should leave the server");
  Check(fs::exists(server_ / "docs" / "report.txt"), "the moved file should reach the server");
}

void Walk::Finish() {
  Section("the end");
  if (agent_ == nullptr) {
    FlushDebug();
    if (ownServer_ && !options_.keepServerFolder) fs::remove_all(server_);
    print_.Line("demo stopped: the driver or the agent did not start");
    return;
  }
  agent_->WaitIdle(std::chrono::seconds(5));
  print_.Line("server folder:");
  DumpHostTree(server_, print_);
  print_.Line("local copies (C:\\Users\\alice\\AppData\\Local\\Tavo\\Cache):");
  std::istringstream tree(volume_->DumpTree({false, false}));
  const std::string prefix = "\\Users\\alice\\AppData\\Local\\Tavo\\Cache\\";
  for (std::string line; std::getline(tree, line);) {
    if (line.rfind(prefix, 0) == 0 && line.size() > prefix.size())
      print_.Line("  " + line.substr(prefix.size()));
  }
  const agent::AgentCounters& counters = agent_->counters();
  print_.Line("agent: " + std::to_string(counters.requests.load()) + " requests, " +
              std::to_string(counters.downloads.load()) + " download(s), " +
              std::to_string(counters.uploads.load()) + " upload(s), " +
              std::to_string(counters.notifications.load()) + " notification(s)");
  agent_->Stop();
  agent_.reset();
  if (driver_ != nullptr) {
    const NTSTATUS unloaded = sim::harness::UnloadDriver(driver_, /*mandatory=*/true);
    print_.Line("driver unloaded -> " + StatusText(unloaded));
  }
  FlushDebug();
  if (ownServer_ && !options_.keepServerFolder) fs::remove_all(server_);
  print_.Line(failures_ == 0
                  ? "demo finished: every step behaved as expected"
                  : "demo finished with " + std::to_string(failures_) + " unexpected result(s)");
}

int Walk::Run() {
  if (!Boot()) {
    ++failures_;
  } else {
    MetadataLook();
    DataOpen();
    BlockedProcess();
    Listings();
    NewFile();
    ShortName();
    NewFolder();
    OutsideTheView();
    RenamesAndDeletes();
  }
  Finish();
  return failures_ == 0 ? 0 : 1;
}

}  // namespace

int RunDemo(const DemoOptions& options, std::ostream& out) {
  Walk walk(options, out);
  return walk.Run();
}

}  // namespace tavo::tool
