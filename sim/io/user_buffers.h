// Callers' buffers as the I/O manager handles them: the system buffer of
// buffered requests (query and set information), and the hostile program a
// test can put behind a directory listing's buffer, which stays the
// caller's own memory while the request runs.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include <ntifs.h>

#include "kernel/hostile_rewrite.h"

namespace sim::io {

// A buffered request's system buffer: pool memory of the request's length
// (8-byte aligned, as pool is), filled from the caller's buffer before the
// request (set) or copied to it after (query).
class SystemBuffer {
 public:
  explicit SystemBuffer(ULONG length) : length_(length), words_((length + 7) / 8 + 1) {}
  void* data() { return words_.data(); }
  void CopyIn(const void* user) {
    if (user) std::memcpy(words_.data(), user, length_);
  }
  void CopyOut(void* user, ULONG_PTR information) const {
    if (user) std::memcpy(user, words_.data(), information < length_ ? information : length_);
  }

 private:
  ULONG length_;
  std::vector<std::uint64_t> words_;
};

// While a user-mode directory listing runs, the rewrite the harness asked
// for (if any) happens to its buffer from another thread.
class HostileDirectoryBuffer {
 public:
  HostileDirectoryBuffer(KPROCESSOR_MODE mode, void* buffer, ULONG length);

 private:
  struct Settings {
    kernel::BufferMutation mutate;
    unsigned afterMicroseconds;
  };
  static Settings SettingsFor(KPROCESSOR_MODE mode);
  HostileDirectoryBuffer(void* buffer, ULONG length, const Settings& settings);

  kernel::HostileRewrite rewrite_;
};

// The MDL-only mode of a user-mode listing's buffer (harness
// SetDirectoryBufferMdlOnly). The buffer is backed by one memory file
// mapped twice: a "user" alias, handed to the request as DirectoryBuffer and
// mapped without access, and a "system" alias, which MDLs describing the
// user alias map to (MmMapLockedPagesSpecifyCache). The caller's bytes are
// copied in before the request and out after it. Two mappings of the same
// pages, rather than a copy made at lock time, keep every writer (a filter
// through its MDL, the file system) on the one buffer, as on Windows.
class MdlOnlyDirectoryBuffer {
 public:
  MdlOnlyDirectoryBuffer(KPROCESSOR_MODE mode, void* callerBuffer, ULONG length);
  ~MdlOnlyDirectoryBuffer();
  MdlOnlyDirectoryBuffer(const MdlOnlyDirectoryBuffer&) = delete;
  MdlOnlyDirectoryBuffer& operator=(const MdlOnlyDirectoryBuffer&) = delete;

  // The address the request carries: the user alias, or the caller's
  // buffer when the mode is off.
  void* RequestBuffer() const { return user_ != nullptr ? user_ : caller_; }

 private:
  void* caller_;
  ULONG length_;
  std::size_t size_ = 0;
  void* user_ = nullptr;
  void* system_ = nullptr;
};

// The system mapping of an address inside an MDL-only user alias; any other
// address as it is.
void* SystemAddressOf(void* address);

}  // namespace sim::io
