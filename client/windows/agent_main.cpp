// tavo-agent.exe: the reference agent as a Windows console program. It
// serves a folder of this machine as the "server" behind the merged view:
//
//   tavo-agent --server D:\TavoServer --view C:\Users\ann\Tavo
//              --backend C:\Users\ann\AppData\Local\Tavo\Cache
//              [--secondary C:\Users\ann\TavoSecondary] [--block NAME ...]
//              [--scan SECONDS]
//
// The roots are given as DOS paths and sent to the driver as device paths
// (\Device\HarddiskVolumeN\...), each first resolved to its final form
// (SUBST drives, links and 8.3 components resolved). The server, backend and
// staging folders must lie outside the view, and the view outside the
// server: the agent's own I/O must never pass through the driver's view.
// Downloads are staged in "<backend>.staging". Ctrl+C stops the agent.
#include "windows_base.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "agent.h"
#include "folder_server_store.h"
#include "nt_local_files.h"
#include "text.h"

namespace {

std::atomic<bool> stopRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  stopRequested = true;
  return TRUE;
}

std::u16string ToU16(const std::wstring& text) {
  return std::u16string(text.begin(), text.end());
}

// The device form of a DOS path ("C:\x" -> "\Device\HarddiskVolume3\x"),
// with the volume's device name and drive.
struct DevicePath {
  std::u16string path;
  std::u16string volume;
  std::u16string drive;
};

std::optional<DevicePath> ToDevicePath(const std::wstring& dosPath) {
  if (dosPath.size() < 3 || dosPath[1] != L':' || dosPath[2] != L'\\') return std::nullopt;
  const std::wstring drive = dosPath.substr(0, 2);
  wchar_t target[MAX_PATH] = {};
  if (QueryDosDeviceW(drive.c_str(), target, MAX_PATH) == 0) return std::nullopt;
  std::wstring path = dosPath;
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return DevicePath{ToU16(target + path.substr(2)), ToU16(target), ToU16(drive)};
}

// The final DOS form of an existing folder ("C:\\Users\\ann\\Tavo" for
// "S:\\Tavo" on a SUBST drive, or for "C:\\Users\\ANN~1\\Tavo"); nothing for a
// folder that does not exist or is not on a local drive.
std::optional<std::wstring> FinalPath(const std::wstring& path) {
  HANDLE folder = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<wchar_t> buffer(32768);
  const DWORD length = GetFinalPathNameByHandleW(folder, buffer.data(),
                                                 static_cast<DWORD>(buffer.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(folder);
  if (length == 0 || length >= buffer.size()) return std::nullopt;
  std::wstring resolved(buffer.data(), length);
  if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0) return std::nullopt;
  if (resolved.rfind(L"\\\\?\\", 0) == 0) resolved.erase(0, 4);
  return resolved;
}

// The same for a folder that may not exist yet: its parent's final form
// and its own name.
std::optional<std::wstring> FinalPathToBe(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  if (auto existing = FinalPath(path)) return existing;
  const std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos || slash + 1 == path.size()) return std::nullopt;
  auto parent = FinalPath(path.substr(0, slash + 1));
  if (!parent) return std::nullopt;
  if (parent->back() != L'\\') *parent += L'\\';
  return *parent + path.substr(slash + 1);
}

bool Inside(const std::wstring& path, const std::wstring& root) {
  return tavo::agent::IsAtOrUnder(ToU16(path), ToU16(root));
}

void Usage() {
  std::fprintf(stderr,
               "usage: tavo-agent --server DIR --view C:\\...\\Tavo --backend C:\\...\\Cache\n"
               "                  [--secondary C:\\...] [--block IMAGE.EXE ...] [--scan SECONDS]\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring server, view, backend, secondary;
  std::vector<tavo::client::ProcessListItem> blockList;
  unsigned scanSeconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i], value = argv[i + 1];
    if (option == L"--server") server = value;
    else if (option == L"--view") view = value;
    else if (option == L"--backend") backend = value;
    else if (option == L"--secondary") secondary = value;
    else if (option == L"--block") blockList.push_back({ToU16(value), u""});
    else if (option == L"--scan") scanSeconds = static_cast<unsigned>(_wtoi(value.c_str()));
    else {
      Usage();
      return 2;
    }
  }
  if (argc % 2 == 0 || server.empty() || view.empty() || backend.empty()) {
    Usage();
    return 2;
  }
  const std::optional<std::wstring> finalView = FinalPath(view);
  const std::optional<std::wstring> finalBackend = FinalPathToBe(backend);
  const std::optional<std::wstring> finalServer = FinalPath(server);
  const std::optional<std::wstring> finalStaging =
      finalBackend ? FinalPathToBe(*finalBackend + L".staging") : std::nullopt;
  const std::optional<std::wstring> finalSecondary =
      secondary.empty() ? std::optional<std::wstring>(std::wstring()) : FinalPath(secondary);
  if (!finalView || !finalBackend || !finalServer || !finalStaging || !finalSecondary) {
    std::fprintf(stderr, "tavo-agent: the folders must exist on local drives\n");
    return 2;
  }
  for (const std::wstring& root : {*finalView, *finalSecondary}) {
    if (root.empty()) continue;
    if (Inside(*finalServer, root) || Inside(*finalBackend, root) || Inside(*finalStaging, root) ||
        Inside(root, *finalServer)) {
      std::fprintf(stderr,
                   "tavo-agent: the server, backend and staging folders must lie outside the "
                   "view, and the view outside the server folder\n");
      return 2;
    }
  }
  // The backend and staging folders are made by the agent when missing.
  const auto viewPath = ToDevicePath(*finalView);
  const auto backendPath = ToDevicePath(*finalBackend);
  const auto stagingPath = ToDevicePath(*finalStaging);
  const auto secondaryPath = finalSecondary->empty() ? std::optional<DevicePath>(DevicePath{})
                                                     : ToDevicePath(*finalSecondary);
  if (!viewPath || !backendPath || !stagingPath || !secondaryPath) {
    std::fprintf(stderr, "tavo-agent: the roots must be absolute paths on local drives\n");
    return 2;
  }

  tavo::agent::AgentConfig config;
  config.roots = {viewPath->path, backendPath->path, secondaryPath->path};
  config.stagingFolder = stagingPath->path;
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  config.sessionId = session;  // the session the agent serves
  config.blockList = blockList;
  config.scanInterval = std::chrono::seconds(scanSeconds);
  config.healthInterval = std::chrono::seconds(5);  // notices a restarted driver
  config.trace = [](const std::string& line) { std::printf("%s\n", line.c_str()); };

  tavo::agent::FolderServerStore store{std::filesystem::path(*finalServer)};
  tavo::agent::NtLocalFiles local(backendPath->volume, backendPath->drive);
  tavo::agent::Agent agent(config, store, local);
  const HRESULT started = agent.Start();
  if (FAILED(started)) {
    std::fprintf(stderr, "tavo-agent: cannot connect to the driver (0x%08lX); is it loaded?\n",
                 static_cast<unsigned long>(started));
    return 1;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  std::printf("tavo-agent: serving %ls; Ctrl+C stops\n", server.c_str());
  while (!stopRequested) Sleep(200);
  agent.Stop();
  return 0;
}
