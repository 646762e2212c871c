// Simulated processes: the current process, lookups and handles by id,
// ZwQueryInformationProcess (the image name's buffer rules in full: the
// driver reads it; session and basic information in passing), exited
// processes, and running code as a process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "harness/processes.h"
#include "harness/strings.h"
#include "kernel/object_manager.h"
#include "nt/ntstatus.h"
#include "nt/ob.h"
#include "nt/process.h"
#include "verifier/verifier.h"

namespace {

using namespace sim::harness;

constexpr char kNotepad[] = "\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe";

HANDLE Pid(std::uint32_t id) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id));
}

NTSTATUS Open(std::uint32_t id, HANDLE* handle, ULONG attributes = OBJ_KERNEL_HANDLE) {
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, nullptr, attributes, nullptr, nullptr);
  CLIENT_ID cid{Pid(id), nullptr};
  return ZwOpenProcess(handle, PROCESS_QUERY_LIMITED_INFORMATION, &oa, &cid);
}

// The image name through ZwQueryInformationProcess, UTF-8; "" on failure.
std::string ImageName(HANDLE process) {
  ULONG needed = 0;
  if (ZwQueryInformationProcess(process, ProcessImageFileName, nullptr, 0, &needed) !=
      STATUS_INFO_LENGTH_MISMATCH) {
    return "<no length>";
  }
  std::vector<std::uint64_t> buffer((needed + 7) / 8);
  if (ZwQueryInformationProcess(process, ProcessImageFileName, buffer.data(), needed, &needed) !=
      STATUS_SUCCESS) {
    return "<failed>";
  }
  return ToUtf8(*reinterpret_cast<UNICODE_STRING*>(buffer.data()));
}

TEST(ZwQueryInformationProcess, ImageFileNameExactBufferAndOneByteShort) {
  const std::uint32_t pid = CreateProcess(kNotepad, 2);
  HANDLE process = nullptr;
  ASSERT_EQ(Open(pid, &process), STATUS_SUCCESS);

  const ULONG nameBytes = static_cast<ULONG>(std::strlen(kNotepad) * sizeof(WCHAR));
  const ULONG needed =
      sizeof(UNICODE_STRING) + nameBytes + sizeof(WCHAR);  // the name is NUL-terminated

  ULONG returned = 0;
  EXPECT_EQ(ZwQueryInformationProcess(process, ProcessImageFileName, nullptr, 0, &returned),
            STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(returned, needed);

  std::vector<std::uint8_t> buffer(needed + 16, 0xCC);
  returned = 0;
  EXPECT_EQ(ZwQueryInformationProcess(process, ProcessImageFileName, buffer.data(), needed - 1,
                                      &returned),
            STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(returned, needed);
  EXPECT_EQ(buffer[0], 0xCC);  // nothing written

  returned = 0;
  ASSERT_EQ(
      ZwQueryInformationProcess(process, ProcessImageFileName, buffer.data(), needed, &returned),
      STATUS_SUCCESS);
  EXPECT_EQ(returned, needed);
  auto* name = reinterpret_cast<UNICODE_STRING*>(buffer.data());
  EXPECT_EQ(name->Length, nameBytes);
  EXPECT_EQ(name->MaximumLength, nameBytes + sizeof(WCHAR));
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(name->Buffer), buffer.data() + sizeof(UNICODE_STRING));
  EXPECT_EQ(ToUtf8(*name), kNotepad);
  EXPECT_EQ(name->Buffer[nameBytes / sizeof(WCHAR)], L'\0');
  EXPECT_EQ(buffer[needed], 0xCC);  // nothing past the needed length
  EXPECT_EQ(ZwClose(process), STATUS_SUCCESS);

  // System has no image file: an empty string and nothing after it.
  ASSERT_EQ(Open(4, &process), STATUS_SUCCESS);
  EXPECT_EQ(ZwQueryInformationProcess(process, ProcessImageFileName, nullptr, 0, &returned),
            STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(returned, sizeof(UNICODE_STRING));
  UNICODE_STRING empty{1, 1, reinterpret_cast<PWCH>(&returned)};
  EXPECT_EQ(
      ZwQueryInformationProcess(process, ProcessImageFileName, &empty, sizeof(empty), &returned),
      STATUS_SUCCESS);
  EXPECT_EQ(empty.Length, 0);
  EXPECT_EQ(empty.Buffer, nullptr);
  EXPECT_EQ(ZwClose(process), STATUS_SUCCESS);
}

// The pseudo-handle is the calling thread's process; a bad handle is refused.
TEST(ZwQueryInformationProcess, PseudoHandleIsTheCallingThreadsProcessABadOneIsRefused) {
  const std::uint32_t pid = CreateProcess(kNotepad, 3);
  RunAs(pid, [&] {
    EXPECT_EQ(ImageName(NtCurrentProcess()), kNotepad);
    PROCESS_SESSION_INFORMATION session{};
    ULONG returned = 0;
    EXPECT_EQ(ZwQueryInformationProcess(ZwCurrentProcess(), ProcessSessionInformation, &session,
                                        sizeof(session), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(session.SessionId, 3u);
    EXPECT_EQ(returned, sizeof(session));
  });
  ULONG returned;
  PROCESS_SESSION_INFORMATION session;
  EXPECT_EQ(ZwQueryInformationProcess(reinterpret_cast<HANDLE>(0x1234), ProcessSessionInformation,
                                      &session, sizeof(session), &returned),
            STATUS_INVALID_HANDLE);
}

TEST(ZwOpenProcess, ParameterRulesAndHandleKinds) {
  const std::uint32_t pid = CreateProcess(kNotepad);
  HANDLE handle = nullptr;
  EXPECT_EQ(Open(9996, &handle), STATUS_INVALID_CID);

  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  EXPECT_EQ(ZwOpenProcess(&handle, PROCESS_QUERY_INFORMATION, &oa, nullptr),
            STATUS_INVALID_PARAMETER_MIX);
  OwnedUnicodeString name{std::string_view("\\Process")};
  OBJECT_ATTRIBUTES named;
  InitializeObjectAttributes(&named, name.get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
  CLIENT_ID cid{Pid(pid), nullptr};
  EXPECT_EQ(ZwOpenProcess(&handle, PROCESS_QUERY_INFORMATION, &named, &cid),
            STATUS_INVALID_PARAMETER_MIX);
  EXPECT_EQ(ZwOpenProcess(&handle, 0x00400000 /* not a process right */, &oa, &cid),
            STATUS_INVALID_PARAMETER);

  // OBJ_KERNEL_HANDLE: a kernel handle, usable from any process context.
  HANDLE kernel = nullptr;
  ASSERT_EQ(Open(pid, &kernel), STATUS_SUCCESS);
  EXPECT_TRUE(sim::kernel::IsKernelHandle(kernel));
  RunAs(pid, [&] { EXPECT_EQ(ImageName(kernel), kNotepad); });

  // Without it: a handle in the calling process's table only.
  HANDLE user = nullptr;
  ASSERT_EQ(Open(pid, &user, 0), STATUS_SUCCESS);
  EXPECT_FALSE(sim::kernel::IsKernelHandle(user));
  RunAs(pid, [&] { EXPECT_EQ(ZwClose(user), STATUS_INVALID_HANDLE); });
  EXPECT_EQ(ZwClose(user), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);
}

TEST(Processes, ExitedProcessIsGoneForLookupsButOpenHandlesStillWork) {
  const std::uint32_t pid = CreateProcess(kNotepad);
  const std::uint32_t other = CreateProcess(kNotepad);
  HANDLE kept = nullptr;
  ASSERT_EQ(Open(pid, &kept), STATUS_SUCCESS);
  // The exiting process holds a handle of its own to another process.
  HANDLE owned = nullptr;
  RunAs(pid, [&] { ASSERT_EQ(Open(other, &owned, 0), STATUS_SUCCESS); });
  auto* otherObject = sim::kernel::ObjectFromBody(sim::kernel::ProcessBody(other));
  EXPECT_EQ(otherObject->HandleCount(), 1);

  ExitProcess(pid, 0xC0000005);
  EXPECT_EQ(otherObject->HandleCount(), 0);  // its handle table was closed
  EXPECT_TRUE(GetProcess(pid)->exited);

  HANDLE again = nullptr;
  EXPECT_EQ(Open(pid, &again), STATUS_INVALID_CID);

  PROCESS_BASIC_INFORMATION basic{};
  ULONG returned;
  ASSERT_EQ(
      ZwQueryInformationProcess(kept, ProcessBasicInformation, &basic, sizeof(basic), &returned),
      STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(basic));
  EXPECT_EQ(basic.UniqueProcessId, pid);
  EXPECT_EQ(basic.ExitStatus, static_cast<NTSTATUS>(0xC0000005));
  EXPECT_EQ(ImageName(kept), kNotepad);
  EXPECT_EQ(ZwClose(kept), STATUS_SUCCESS);

  // Ending it twice, or running as it, is a mistake the verifier reports.
  ExitProcess(pid);
  EXPECT_EQ(sim::verifier::TakeViolations(sim::verifier::Check::Process).size(), 1u);
  RunAs(pid, [] {});
  EXPECT_EQ(sim::verifier::TakeViolations(sim::verifier::Check::Process).size(), 1u);
}

}  // namespace
