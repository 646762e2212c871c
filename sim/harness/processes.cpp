// Harness control of simulated processes.
#include "harness/processes.h"

#include <string>

#include "harness/strings.h"
#include "verifier/verifier.h"

namespace sim::harness {

std::uint32_t CreateProcess(std::string_view imagePath, std::uint32_t sessionId,
                            std::optional<std::uint32_t> parentId) {
  return kernel::CreateProcess(FromUtf8(imagePath), sessionId,
                               parentId.value_or(CurrentProcessId()));
}

void ExitProcess(std::uint32_t processId, NTSTATUS exitStatus) {
  if (!kernel::ExitProcess(processId, exitStatus)) {
    verifier::Report(verifier::Check::Process, "harness: cannot end process " +
                                                   std::to_string(processId) +
                                                   " (unknown, exited or System)");
  }
}

void SetProcessAccount(std::uint32_t processId, Account account) {
  if (!kernel::SetProcessAccount(processId, account)) {
    verifier::Report(verifier::Check::Process, "harness: cannot change the token of process " +
                                                   std::to_string(processId) +
                                                   " (unknown or System)");
  }
}

std::optional<ProcessRecord> GetProcess(std::uint32_t processId) {
  return kernel::FindProcess(processId);
}

std::uint32_t CurrentProcessId() {
  return kernel::CurrentThread().processId;
}

ScopedProcess::ScopedProcess(std::uint32_t processId) : saved_(CurrentProcessId()) {
  auto process = kernel::FindProcess(processId);
  if (!process || process->exited) {
    verifier::Report(verifier::Check::Process,
                     "harness: running as process " + std::to_string(processId) +
                         (process ? ", which has exited" : ", which does not exist"));
  }
  kernel::CurrentThread().processId = processId;
}

ScopedProcess::~ScopedProcess() {
  kernel::CurrentThread().processId = saved_;
}

std::thread StartThreadAs(std::uint32_t processId, std::function<void()> fn) {
  return std::thread([processId, fn = std::move(fn)] {
    ScopedProcess scope(processId);
    fn();
  });
}

}  // namespace sim::harness
