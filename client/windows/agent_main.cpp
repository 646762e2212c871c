// tavo-agent.exe: the reference agent as a Windows console program. It
// serves a folder of this machine as the "server" behind the merged view:
//
//   tavo-agent --server D:\TavoServer --view C:\Users\ann\Tavo
//              --backend C:\Users\ann\AppData\Local\Tavo\Cache
//              [--secondary C:\Users\ann\TavoSecondary] [--block NAME ...]
//              [--scan SECONDS]
//
// The roots are given as DOS paths and sent to the driver as device paths
// (\Device\HarddiskVolumeN\...). Ctrl+C stops the agent.
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
  const auto viewPath = ToDevicePath(view);
  const auto backendPath = ToDevicePath(backend);
  const auto secondaryPath = secondary.empty() ? std::optional<DevicePath>(DevicePath{})
                                               : ToDevicePath(secondary);
  if (!viewPath || !backendPath || !secondaryPath) {
    std::fprintf(stderr, "tavo-agent: the roots must be absolute paths on local drives\n");
    return 2;
  }

  tavo::agent::AgentConfig config;
  config.roots = {viewPath->path, backendPath->path, secondaryPath->path};
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  config.sessionId = session;  // the session the agent serves
  config.blockList = blockList;
  config.scanInterval = std::chrono::seconds(scanSeconds);
  config.trace = [](const std::string& line) { std::printf("%s\n", line.c_str()); };

  tavo::agent::FolderServerStore store{std::filesystem::path(server)};
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
