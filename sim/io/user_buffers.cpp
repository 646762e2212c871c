// The hostile directory-buffer rewrite the harness sets (see
// harness/user_buffers.h); a fresh machine has none.
#include "io/user_buffers.h"

#include <mutex>

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
});

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

}  // namespace sim::io

namespace sim::harness::user_buffers {

void SetDirectoryBufferRewrite(kernel::BufferMutation mutate, unsigned afterMicroseconds) {
  std::lock_guard guard(io::Current().lock);
  io::Current().mutate = std::move(mutate);
  io::Current().afterMicroseconds = afterMicroseconds;
}

void ClearDirectoryBufferRewrite() {
  SetDirectoryBufferRewrite(nullptr, 200);
}

}  // namespace sim::harness::user_buffers
