// The simulation's process table: every simulated process, its EPROCESS
// body and its attributes. Threads run as a process through
// ThreadState::processId (kernel/thread_state.h).
//
// The machine boots with the System process (id 4, session 0) and a default
// process (id 1000, "\Device\HarddiskVolume3\Windows\System32\cmd.exe",
// session 1) that the test thread runs as after each reset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kernel/thread_state.h"
#include "nt/ntdef.h"

namespace sim::kernel {

inline constexpr std::uint32_t kDefaultProcessId = 1000;
static_assert(kDefaultProcessId == kUnsetThreadProcessId,
              "unset threads run as the default process");
inline constexpr std::uint32_t kDefaultSessionId = 1;
inline constexpr char16_t kDefaultProcessImage[] =
    u"\\Device\\HarddiskVolume3\\Windows\\System32\\cmd.exe";

// Whose token a process runs with (kernel/token.h gives its SIDs). An
// administrator's process is an elevated one: its Administrators group is
// enabled (a filtered, non-elevated token has it for deny only, which no
// access check grants on).
enum class Account { StandardUser, Administrator, LocalSystem };

struct ProcessRecord {
  std::uint32_t id = 0;
  std::uint32_t parentId = 0;
  std::uint32_t sessionId = 0;
  std::u16string imagePath;  // NT device path; empty for System
  std::string imageName;     // short name ("System", "cmd.exe")
  bool exited = false;
  NTSTATUS exitStatus = 0;  // STATUS_PENDING while running
  Account account = Account::StandardUser;  // System runs as LocalSystem
};

// Creates a running process and returns its id (never reused until reset).
std::uint32_t CreateProcess(std::u16string imagePath, std::uint32_t sessionId,
                            std::uint32_t parentId);

// Marks a process exited and closes its handle table. False for an unknown
// or already exited process, or for System.
bool ExitProcess(std::uint32_t processId, NTSTATUS exitStatus);

// The process's attributes, or nothing for an unknown id.
std::optional<ProcessRecord> FindProcess(std::uint32_t processId);

// Gives a process another token; false for an unknown process or System.
bool SetProcessAccount(std::uint32_t processId, Account account);

// The process body (unreferenced), or null for an unknown id.
PEPROCESS ProcessBody(std::uint32_t processId);

}  // namespace sim::kernel
