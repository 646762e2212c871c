// The merged view served to Linux through FUSE: each file-system request
// becomes the NT calls a Windows program would make for it, issued as a
// simulated process named after the Linux process that asked.
//
// libfuse calls these from its own threads. An open file or folder is an NT
// handle of the process that opened it; reads, writes and the close run as
// that process whoever the kernel says asked (a release often comes from no
// process at all). Handles still open at shutdown are closed by CloseAll
// before the driver is unloaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>

#include <ntapi.h>

#include "kept_listings.h"

struct fuse_operations;

namespace tavo::tool {

class ViewFileSystem {
 public:
  using Trace = std::function<void(const std::string&)>;  // empty: quiet
  // Uploads the local copies that changed (run after a written file is flushed).
  using Upload = std::function<void()>;

  ViewFileSystem(Trace trace, Upload upload) : trace_(std::move(trace)), upload_(std::move(upload)) {}

  // The simulated process a Linux process stands for: one per executable,
  // made on first use, with the image path \Device\HarddiskVolume3<exe>.
  std::uint32_t RequestorFor(int linuxPid);
  // Closes every handle still open, each as its process.
  void CloseAll();

  struct OpenFile {
    HANDLE handle;
    std::uint32_t process;
    std::string processName;
    bool append;
    std::atomic<bool> written{false};  // set by writes, read by flushes on other threads
    // An open folder's entries as its latest listing gave them, handed to
    // the kernel in as many batches as it asks for. libfuse runs one
    // readdir at a time per open folder.
    KeptListings::Entries listing;
  };
  // Handles given to FUSE as fi->fh.
  OpenFile* Register(HANDLE handle, std::uint32_t process, std::string processName, bool append);
  void Unregister(OpenFile* file);

  // One line per operation: "[grep] open /docs/a.txt GENERIC_READ -> STATUS_ACCESS_DENIED".
  void Note(const std::string& process, const std::string& what, NTSTATUS status);
  void UploadChanges() { if (upload_) upload_(); }
  std::string NameOf(std::uint32_t process);
  KeptListings& listings() { return listings_; }

 private:
  Trace trace_;
  Upload upload_;
  std::mutex lock_;
  std::map<std::string, std::uint32_t> processes_;  // by executable path
  std::map<std::uint32_t, std::string> names_;
  std::unordered_set<OpenFile*> open_;
  // As long as the kernel keeps what a listing told it; about 40 MB at most.
  KeptListings listings_{std::chrono::seconds(1), 200000};
};

// The FUSE operation table; its private data is the ViewFileSystem.
::fuse_operations MakeViewOperations();

}  // namespace tavo::tool
