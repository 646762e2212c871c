// Handle and reference counting of the object manager core.
#include <gtest/gtest.h>

#include "kernel/object_manager.h"
#include "kernel/thread_state.h"
#include "nt/ntstatus.h"

namespace {

struct Probe : sim::kernel::KernelObject {
  int body = 0;
  int* cleanups;
  int* closes;
  Probe(int* c, int* d) : cleanups(c), closes(d) { sim::kernel::RegisterObjectBody(this); }
  const char* TypeName() const override { return "Probe"; }
  void* Body() override { return &body; }
  void OnLastHandleClosed() override { ++*cleanups; }
  void OnLastReference() override { ++*closes; }
};

TEST(ObjectManager, CleanupAtLastHandleCloseAtLastReference) {
  int cleanups = 0, closes = 0;
  auto* probe = new Probe(&cleanups, &closes);
  HANDLE a = sim::kernel::InsertHandle(probe, 0, /*kernelHandle=*/false);
  HANDLE b = sim::kernel::InsertHandle(probe, 0, false);
  ObReferenceObject(&probe->body);
  probe->Dereference();  // the creator's reference

  EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
  EXPECT_EQ(cleanups, 0);
  EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
  EXPECT_EQ(cleanups, 1);
  EXPECT_EQ(closes, 0);  // still referenced by pointer
  ObDereferenceObject(&probe->body);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(ZwClose(b), STATUS_INVALID_HANDLE);
}

TEST(ObjectManager, HandlesBelongToTheirProcessKernelHandlesToKernelMode) {
  int cleanups = 0, closes = 0;
  auto* probe = new Probe(&cleanups, &closes);
  auto& thread = sim::kernel::CurrentThread();
  const auto saved = thread.processId;
  thread.processId = 100;
  HANDLE user = sim::kernel::InsertHandle(probe, 0, false);
  HANDLE kernel = sim::kernel::InsertHandle(probe, 0, true);
  EXPECT_TRUE(sim::kernel::IsKernelHandle(kernel));
  EXPECT_FALSE(sim::kernel::IsKernelHandle(user));
  EXPECT_EQ(sim::kernel::ReferenceHandle(kernel, UserMode), nullptr);

  thread.processId = 200;
  EXPECT_EQ(sim::kernel::CloseHandle(user, UserMode), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);  // kernel handles work from any process
  thread.processId = 100;
  EXPECT_EQ(sim::kernel::CloseProcessHandles(100), 1u);
  thread.processId = saved;
  probe->Dereference();
  EXPECT_EQ(cleanups, 1);
  EXPECT_EQ(closes, 1);
}

}  // namespace
