// Hostile clients of the communication ports: buffers that go away during
// the message callback.
//
// A message callback gets the client's buffers as raw user addresses
// (probed, not locked): the client may unmap or re-protect them at any
// moment, and a driver must touch them only inside an exception guard. In
// hostile mode the simulation gives the callback private copies in their
// own pages, each ending at an inaccessible guard page, and "unmaps" them
// (PROT_NONE) just before the callback's n-th guarded access to them. From
// then on a guarded copy reports STATUS_ACCESS_VIOLATION, as a copy under
// an exception guard reports the page fault on Windows.
//
// Since the client could unmap them at any instant, the pages are readable
// and writable only while a guarded copy runs: an unguarded access faults
// for real whenever it comes (before, between or after the guarded ones),
// as does one past a buffer's end, and ends the test with SIGSEGV, where
// Windows would stop the machine.
//
// TavoGuardedCopy is the driver's machine-code routine (an assembly file in
// the native build); for the driver linked into a test program the
// simulated machine provides it here, failing exactly where the client's
// pages are gone. A loaded driver image runs its own, whose fault on the
// closed pages the loader's fault handler hands to HostileGuardedCopy.
#include "fltmgr/port_hostile.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace sim::fltmgr::ports {

// One buffer's pages: the copy ends where an inaccessible page begins.
class ClientPages {
 public:
  ClientPages(const void* contents, std::size_t length) : length_(length) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t dataPages = (length + page - 1) / page;
    mappedBytes_ = (dataPages + 1) * page;
    void* mapped =
        mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) std::abort();  // the host is out of memory
    mapping_ = static_cast<std::uint8_t*>(mapped);
    mprotect(mapping_ + dataPages * page, page, PROT_NONE);
    data_ = mapping_ + dataPages * page - length;
    dataBytes_ = dataPages * page;
    if (length != 0) std::memcpy(data_, contents, length);
    Close();
  }
  ~ClientPages() { munmap(mapping_, mappedBytes_); }
  ClientPages(const ClientPages&) = delete;
  ClientPages& operator=(const ClientPages&) = delete;

  std::uint8_t* data() const { return data_; }
  // Accessible for one guarded copy (or the Filter Manager's copy back).
  void Open() {
    if (!unmapped_) mprotect(mapping_, dataBytes_, PROT_READ | PROT_WRITE);
  }
  void Close() { mprotect(mapping_, dataBytes_, PROT_NONE); }
  void Unmap() {
    unmapped_ = true;
    Close();
  }
  bool Holds(const void* address, std::size_t length) const {
    const auto* start = static_cast<const std::uint8_t*>(address);
    return length != 0 && start < data_ + length_ && data_ < start + length;
  }

 private:
  std::uint8_t* mapping_ = nullptr;
  std::size_t mappedBytes_ = 0;
  std::size_t dataBytes_ = 0;
  bool unmapped_ = false;
  std::uint8_t* data_ = nullptr;
  std::size_t length_;
};

struct HostileMessageBuffers::Call {
  std::unique_ptr<ClientPages> input, output;
  unsigned unmapAt = 0;
  unsigned accesses = 0;
  bool unmapped = false;
};

namespace {

// Callbacks in hostile mode now running (on any thread), and the accesses
// of the last one that ended.
// `running` mirrors calls.size(): a guarded copy that sees none running
// copies without the lock. A copy from a hostile call's own buffers runs
// after that call registered (on the thread its callback runs on, or one
// the callback handed the buffer to), so it never misses its call.
struct Registry {
  std::mutex lock;
  std::vector<HostileMessageBuffers::Call*> calls;
  std::atomic<std::size_t> running{0};
  unsigned lastAccesses = 0;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

HostileMessageBuffers::HostileMessageBuffers(const void* input, ULONG inputLength,
                                             const void* output, ULONG outputLength,
                                             unsigned unmapAtAccess)
    : call_(std::make_unique<Call>()) {
  if (input != nullptr) call_->input = std::make_unique<ClientPages>(input, inputLength);
  if (output != nullptr) call_->output = std::make_unique<ClientPages>(output, outputLength);
  call_->unmapAt = unmapAtAccess;
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  registry.calls.push_back(call_.get());
  registry.running.store(registry.calls.size(), std::memory_order_release);
}

HostileMessageBuffers::~HostileMessageBuffers() {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  std::erase(registry.calls, call_.get());
  registry.running.store(registry.calls.size(), std::memory_order_release);
  registry.lastAccesses = call_->accesses;
}

std::uint8_t* HostileMessageBuffers::Input() { return call_->input ? call_->input->data() : nullptr; }
std::uint8_t* HostileMessageBuffers::Output() {
  return call_->output ? call_->output->data() : nullptr;
}
bool HostileMessageBuffers::Unmapped() const {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  return call_->unmapped;
}

void HostileMessageBuffers::CopyOutputBack(void* to, std::size_t length) {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  // Pages the client unmapped hold nothing to give back.
  if (!call_->output || call_->unmapped || length == 0) return;
  call_->output->Open();
  std::memcpy(to, call_->output->data(), length);
  call_->output->Close();
}

bool HostileGuardedCopy(void* destination, const void* source, std::size_t length,
                        NTSTATUS* status) {
  *status = STATUS_SUCCESS;
  if (length == 0) return false;
  Registry& registry = TheRegistry();
  if (registry.running.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard guard(registry.lock);
  for (HostileMessageBuffers::Call* call : registry.calls) {
    const auto holds = [&](const void* address) {
      return (call->input && call->input->Holds(address, length)) ||
             (call->output && call->output->Holds(address, length));
    };
    if (!holds(destination) && !holds(source)) continue;
    if (!call->unmapped && ++call->accesses == call->unmapAt) {
      if (call->input) call->input->Unmap();
      if (call->output) call->output->Unmap();
      call->unmapped = true;
    }
    if (call->unmapped) {
      *status = STATUS_ACCESS_VIOLATION;
      return true;
    }
    for (auto* pages : {call->input.get(), call->output.get()})
      if (pages != nullptr) pages->Open();
    std::memcpy(destination, source, length);
    for (auto* pages : {call->input.get(), call->output.get()})
      if (pages != nullptr) pages->Close();
    return true;
  }
  return false;
}

unsigned LastHostileCallAccesses() {
  Registry& registry = TheRegistry();
  std::lock_guard guard(registry.lock);
  return registry.lastAccesses;
}

}  // namespace sim::fltmgr::ports

extern "C" NTSTATUS TavoGuardedCopy(PVOID Destination, const VOID* Source, SIZE_T Length) {
  NTSTATUS status;
  if (!sim::fltmgr::ports::HostileGuardedCopy(Destination, Source, Length, &status)) {
    if (Length != 0) std::memcpy(Destination, Source, Length);
  }
  return status;
}
