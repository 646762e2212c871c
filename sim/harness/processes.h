// Simulated processes for tests and tools: create a process, end it, and run
// code as a process, on the calling thread or on a new OS thread.
//
// After every machine reset the System process (id 4) and the default
// process (id 1000, "\Device\HarddiskVolume3\Windows\System32\cmd.exe",
// session 1) exist, and the thread that reset the machine runs as the
// default process.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "kernel/process_table.h"
#include "kernel/thread_state.h"
#include "nt/ntstatus.h"

namespace sim::harness {

using kernel::Account;
using kernel::kDefaultProcessId;
using kernel::kDefaultSessionId;
using kernel::kSystemProcessId;
using kernel::ProcessRecord;

// Creates a running process with an NT image path such as
// "\Device\HarddiskVolume3\Windows\System32\notepad.exe" and returns its id.
// The parent defaults to the calling thread's process.
std::uint32_t CreateProcess(std::string_view imagePath, std::uint32_t sessionId = kDefaultSessionId,
                            std::optional<std::uint32_t> parentId = std::nullopt);

// Ends a process: it is marked exited with `exitStatus` and every handle in
// its handle table is closed. Ending an unknown or exited process, or
// System, is a verifier violation.
void ExitProcess(std::uint32_t processId, NTSTATUS exitStatus = STATUS_SUCCESS);

// The process's attributes, or nothing for an unknown id.
std::optional<ProcessRecord> GetProcess(std::uint32_t processId);

// Gives a process another account's token (processes start as a standard
// user; System runs as LocalSystem and keeps it). Changing an unknown
// process, or System, is a verifier violation.
void SetProcessAccount(std::uint32_t processId, Account account);

// The process the calling thread runs as.
std::uint32_t CurrentProcessId();

// Makes the calling thread run as a process until the scope ends (scopes
// nest). Running as an unknown or exited process is a verifier violation.
class ScopedProcess {
 public:
  explicit ScopedProcess(std::uint32_t processId);
  ~ScopedProcess();
  ScopedProcess(const ScopedProcess&) = delete;
  ScopedProcess& operator=(const ScopedProcess&) = delete;

 private:
  std::uint32_t saved_;
};

// Runs `fn` on the calling thread as process `processId` and returns its
// result; the thread's previous process is restored afterwards.
template <class Fn>
decltype(auto) RunAs(std::uint32_t processId, Fn&& fn) {
  ScopedProcess scope(processId);
  return std::forward<Fn>(fn)();
}

// Starts an OS thread that runs `fn` as process `processId`. The caller
// owns the thread and joins it.
std::thread StartThreadAs(std::uint32_t processId, std::function<void()> fn);

}  // namespace sim::harness
