// The one harness of every fuzz target: a simulated machine booted once per
// fuzzing process (a volume holding the merged view, the real driver loaded
// and configured, a client connected to its four ports), user-mode calls
// made as an application, and a client that answers the driver's requests
// with bytes taken from the input. After each input the standard
// configuration is restored and the driver's caches are emptied, so that
// every input starts from the same state; a verifier violation, a request
// left pending or a pool block of the driver's tag more than at boot aborts
// the run (libFuzzer then keeps the input as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <ntapi.h>

#include "driver_channel.h"

namespace tavo::fuzz {

// The input, read front to back; reads past its end give zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return offset_ >= size_; }
  std::uint8_t U8();
  std::uint16_t U16();
  std::uint32_t U32();
  std::uint64_t U64();
  // Up to `count` bytes (fewer at the end of the input).
  std::vector<std::uint8_t> Bytes(std::size_t count);
  std::vector<std::uint8_t> Rest() { return Bytes(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// Paths of the machine: the view's root, the backend root, and names in the
// view whose information the fallback server gives (folder names start
// with "Dir").
extern const std::u16string kViewRoot;
extern const std::u16string kBackendRoot;
std::u16string InView(const std::u16string& relative);

// An application's calls, as the process of the fuzzing machine's
// application (explorer.exe).
NTSTATUS OpenFile(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options,
                  HANDLE* handle);
void CloseFile(HANDLE handle);

class Machine {
 public:
  // Boots on the first call.
  static Machine& Get();

  client::DriverChannel& Channel() { return channel_; }

  // Runs `operation` as the application on a thread of its own and answers
  // every request it causes: with answers read from `answers` while it has
  // bytes (each may name a wrong cookie or code, or alert the waiting
  // thread instead and answer late), then with the fallback server's
  // answers. Returns when the operation has returned.
  void Run(const std::function<void()>& operation, Input* answers);

  // Ends an input: the standard configuration and lists back, the caches
  // emptied, and the checks of the header.
  void EndInput();

 private:
  Machine();
  void Boot();
  void Configure();

  client::DriverChannel channel_;
  std::uint32_t application_ = 0;
  std::size_t bootPool_ = 0;
};

}  // namespace tavo::fuzz
