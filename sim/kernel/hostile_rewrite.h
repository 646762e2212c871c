// A hostile caller's second write: `delay` after it is made, another thread
// overwrites a buffer the caller handed to the system with mutate(original),
// until the call it was handed to returns (the holder's destruction). Code
// that fetches a field of caller memory twice can then see two values. The
// port verifier and the I/O manager's hostile directory buffers use it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define TAVO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVO_TSAN 1
#endif
#endif
#ifdef TAVO_TSAN
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

namespace sim::kernel {

using BufferMutation = std::function<void(std::uint8_t* data, std::uint32_t length)>;

class HostileRewrite {
 public:
  HostileRewrite(std::uint8_t* data, std::uint32_t length, const BufferMutation& mutate,
                 std::chrono::microseconds delay) {
    if (!mutate || data == nullptr || length == 0) return;
    std::vector<std::uint8_t> mutated(data, data + length);
    mutate(mutated.data(), length);
    thread_ = std::thread([this, data, length, delay, mutated = std::move(mutated)] {
      std::unique_lock lock(lock_);
      if (stop_.wait_for(lock, delay, [this] { return stopped_; })) return;
#ifdef TAVO_TSAN
      // A race with the reads of the code under test is the point.
      AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
      for (std::uint32_t i = 0; i < length; ++i)
        reinterpret_cast<volatile std::uint8_t*>(data)[i] = mutated[i];
#ifdef TAVO_TSAN
      AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
    });
  }
  ~HostileRewrite() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(lock_);
      stopped_ = true;
    }
    stop_.notify_one();
    thread_.join();
  }
  HostileRewrite(const HostileRewrite&) = delete;
  HostileRewrite& operator=(const HostileRewrite&) = delete;

 private:
  std::mutex lock_;
  std::condition_variable stop_;
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace sim::kernel
