// What the agent's two users of the native NT API share: an owned handle
// and whole-file reads and writes through one.
#pragma once

#include <ntapi.h>

#include <algorithm>

#include "agent_types.h"

namespace tavo::agent {

inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// An open handle, closed when it goes out of scope.
class NtHandle {
 public:
  NtHandle() = default;
  ~NtHandle() {
    if (handle_ != nullptr) NtClose(handle_);
  }
  NtHandle(const NtHandle&) = delete;
  NtHandle& operator=(const NtHandle&) = delete;
  HANDLE* out() { return &handle_; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Reads from the current position to the end of the file.
inline bool ReadToEnd(HANDLE file, Bytes* contents) {
  contents->clear();
  std::uint8_t chunk[64 * 1024];
  for (;;) {
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS status =
        NtReadFile(file, nullptr, nullptr, nullptr, &iosb, chunk, sizeof(chunk), nullptr, nullptr);
    if (status == STATUS_END_OF_FILE) return true;
    if (!NT_SUCCESS(status)) return false;
    if (iosb.Information == 0) return true;
    contents->insert(contents->end(), chunk, chunk + iosb.Information);
  }
}

// Writes all of `contents` from the current position, in pieces of 1 MiB.
inline bool WriteWhole(HANDLE file, const Bytes& contents) {
  for (std::size_t done = 0; done < contents.size();) {
    IO_STATUS_BLOCK iosb{};
    const ULONG length = static_cast<ULONG>(std::min<std::size_t>(contents.size() - done, 1 << 20));
    const NTSTATUS status =
        NtWriteFile(file, nullptr, nullptr, nullptr, &iosb,
                    const_cast<std::uint8_t*>(contents.data() + done), length, nullptr, nullptr);
    if (!NT_SUCCESS(status) || iosb.Information == 0) return false;
    done += iosb.Information;
  }
  return true;
}

}  // namespace tavo::agent
