// The hostile directory-buffer rewrite the harness sets (see
// harness/user_buffers.h); a fresh machine has none.
#include "io/user_buffers.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "harness/user_buffers.h"
#include "kernel/lifecycle.h"

namespace sim::io {
namespace {

struct Rewrite {
  std::mutex lock;
  kernel::BufferMutation mutate;
  unsigned afterMicroseconds = 200;
};

Rewrite& Current() {
  static Rewrite rewrite;
  return rewrite;
}

kernel::ResetHookRegistration resetRewrite(kernel::ResetOrder::Io, [] {
  sim::harness::user_buffers::ClearDirectoryBufferRewrite();
  sim::harness::user_buffers::SetDirectoryBufferMdlOnly(false);
});

// The user aliases of the MDL-only buffers in flight.
struct Alias {
  std::uint8_t* user;
  std::uint8_t* system;
  std::size_t size;
};
struct MdlOnly {
  std::mutex lock;
  bool on = false;
  std::vector<Alias> aliases;
};

MdlOnly& MdlOnlyState() {
  static MdlOnly state;
  return state;
}

}  // namespace

HostileDirectoryBuffer::Settings HostileDirectoryBuffer::SettingsFor(KPROCESSOR_MODE mode) {
  std::lock_guard guard(Current().lock);
  if (mode != UserMode) return {nullptr, 0};  // kernel callers are trusted
  return {Current().mutate, Current().afterMicroseconds};
}

HostileDirectoryBuffer::HostileDirectoryBuffer(KPROCESSOR_MODE mode, void* buffer, ULONG length)
    : HostileDirectoryBuffer(buffer, length, SettingsFor(mode)) {}

HostileDirectoryBuffer::HostileDirectoryBuffer(void* buffer, ULONG length, const Settings& settings)
    : rewrite_(static_cast<std::uint8_t*>(buffer), length, settings.mutate,
               std::chrono::microseconds(settings.afterMicroseconds)) {}

MdlOnlyDirectoryBuffer::MdlOnlyDirectoryBuffer(KPROCESSOR_MODE mode, void* callerBuffer,
                                               ULONG length)
    : caller_(callerBuffer), length_(length) {
  MdlOnly& state = MdlOnlyState();
  {
    std::lock_guard guard(state.lock);
    if (!state.on || mode != UserMode || callerBuffer == nullptr || length == 0) return;
  }
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  size_ = (length + page - 1) / page * page;
  const int file = memfd_create("tavo-user-buffer", MFD_CLOEXEC);
  if (file < 0 || ftruncate(file, static_cast<off_t>(size_)) != 0) {
    if (file >= 0) close(file);
    return;  // no second mapping to be had: the request runs on the caller's buffer
  }
  void* system = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
  void* user = mmap(nullptr, size_, PROT_NONE, MAP_SHARED, file, 0);
  close(file);
  if (system == MAP_FAILED || user == MAP_FAILED) {
    if (system != MAP_FAILED) munmap(system, size_);
    if (user != MAP_FAILED) munmap(user, size_);
    return;
  }
  system_ = system;
  user_ = user;
  std::memcpy(system_, caller_, length_);
  std::lock_guard guard(state.lock);
  state.aliases.push_back(
      {static_cast<std::uint8_t*>(user_), static_cast<std::uint8_t*>(system_), size_});
}

MdlOnlyDirectoryBuffer::~MdlOnlyDirectoryBuffer() {
  if (user_ == nullptr) return;
  {
    MdlOnly& state = MdlOnlyState();
    std::lock_guard guard(state.lock);
    std::erase_if(state.aliases, [&](const Alias& alias) { return alias.user == user_; });
  }
  std::memcpy(caller_, system_, length_);
  munmap(user_, size_);
  munmap(system_, size_);
}

void* SystemAddressOf(void* address) {
  auto* byte = static_cast<std::uint8_t*>(address);
  MdlOnly& state = MdlOnlyState();
  std::lock_guard guard(state.lock);
  for (const Alias& alias : state.aliases) {
    if (byte >= alias.user && byte < alias.user + alias.size) {
      return alias.system + (byte - alias.user);
    }
  }
  return address;
}

}  // namespace sim::io

namespace sim::harness::user_buffers {

void SetDirectoryBufferMdlOnly(bool on) {
  std::lock_guard guard(io::MdlOnlyState().lock);
  io::MdlOnlyState().on = on;
}


void SetDirectoryBufferRewrite(kernel::BufferMutation mutate, unsigned afterMicroseconds) {
  std::lock_guard guard(io::Current().lock);
  io::Current().mutate = std::move(mutate);
  io::Current().afterMicroseconds = afterMicroseconds;
}

void ClearDirectoryBufferRewrite() {
  SetDirectoryBufferRewrite(nullptr, 200);
}

}  // namespace sim::harness::user_buffers
