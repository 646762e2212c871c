// Registration checks, automatic and manual attachment, detachment with its
// query-teardown veto, and unload: refused when not mandatory, forced when
// mandatory.
#include <gtest/gtest.h>

#include "fltmgr/filter_manager.h"
#include "harness/pool.h"
#include "test_filter.h"
#include "verifier/verifier.h"

namespace tavo_test {
namespace {

class Lifecycle : public FilterTest {};

FLT_PREOP_CALLBACK_STATUS FLTAPI NoOp(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI NoPost(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID,
                                         FLT_POST_OPERATION_FLAGS) {
  return FLT_POSTOP_FINISHED_PROCESSING;
}

TEST_F(Lifecycle, RegistrationIsValidated) {
  static const FLT_OPERATION_REGISTRATION twice[] = {
      {IRP_MJ_CREATE, 0, NoOp, nullptr, nullptr},
      {IRP_MJ_CREATE, 0, NoOp, nullptr, nullptr},
      {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
  static const FLT_OPERATION_REGISTRATION shutdownPost[] = {
      {IRP_MJ_SHUTDOWN, 0, NoOp, NoPost, nullptr},
      {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
  static const FLT_CONTEXT_REGISTRATION badType[] = {
      {0x0003, 0, nullptr, 8, 0, nullptr, nullptr, nullptr},
      {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};
  static const FLT_CONTEXT_REGISTRATION noSize[] = {
      {FLT_STREAM_CONTEXT, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
      {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};
  struct Case {
    const char* what;
    USHORT version;
    const FLT_OPERATION_REGISTRATION* operations;
    const FLT_CONTEXT_REGISTRATION* contexts;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"good", FLT_REGISTRATION_VERSION_0202, nullptr, nullptr, STATUS_SUCCESS},
      {"old version 0x0100", 0x0100, nullptr, nullptr, STATUS_INVALID_PARAMETER},
      {"future version", 0x0300, nullptr, nullptr, STATUS_INVALID_PARAMETER},
      {"major registered twice", FLT_REGISTRATION_VERSION_0202, twice, nullptr,
       STATUS_FLT_DUPLICATE_ENTRY},
      {"post-operation for shutdown", FLT_REGISTRATION_VERSION_0202, shutdownPost, nullptr,
       STATUS_INVALID_PARAMETER},
      {"two context types in one entry", FLT_REGISTRATION_VERSION_0202, nullptr, badType,
       STATUS_FLT_INVALID_CONTEXT_REGISTRATION},
      {"context without size or allocator", FLT_REGISTRATION_VERSION_0202, nullptr, noSize,
       STATUS_FLT_INVALID_CONTEXT_REGISTRATION},
  };
  DRIVER_OBJECT driver{};
  for (const Case& c : cases) {
    FLT_REGISTRATION registration{};
    registration.Size = sizeof(registration);
    registration.Version = c.version;
    registration.OperationRegistration = c.operations;
    registration.ContextRegistration = c.contexts;
    PFLT_FILTER filter = nullptr;
    EXPECT_EQ(FltRegisterFilter(&driver, &registration, &filter), c.expected) << c.what;
    if (filter) FltUnregisterFilter(filter);
  }
}

TEST_F(Lifecycle, FilteringAttachesToEveryVolumeAndToVolumesMountedLater) {
  LoadTestFilter(0, 300000);
  EXPECT_EQ(Slot(0).instances.size(), 2u);
  EXPECT_TRUE(Slot(0).Saw("setup:" + std::to_string(FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT)));
  sim::harness::MountVolume(u"\\Device\\HarddiskVolume9", u'Z',
                            std::make_shared<sim::io::TestFileSystem>());
  EXPECT_EQ(Slot(0).instances.size(), 3u);
  EXPECT_TRUE(Slot(0).Saw("setup:" + std::to_string(FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT |
                                                    FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME)));
}

TEST_F(Lifecycle, DetachAsksQueryTeardownFirst) {
  NTSTATUS answer = STATUS_FLT_DO_NOT_DETACH;
  Slot(0).queryTeardown = [&](PCFLT_RELATED_OBJECTS) { return answer; };
  LoadTestFilter(0, 300000);
  PFLT_VOLUME volume = nullptr;
  sim::harness::OwnedUnicodeString name("\\Device\\HarddiskVolume2");
  ASSERT_EQ(FltGetVolumeFromName(Slot(0).filter, name.get(), &volume), STATUS_SUCCESS);
  EXPECT_EQ(FltDetachVolume(Slot(0).filter, volume, nullptr), STATUS_FLT_DO_NOT_DETACH);
  EXPECT_FALSE(Slot(0).Saw("teardown-start:1"));
  answer = STATUS_SUCCESS;
  EXPECT_EQ(FltDetachVolume(Slot(0).filter, volume, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(Slot(0).Saw("teardown-start:" + std::to_string(FLTFL_INSTANCE_TEARDOWN_MANUAL)));
  EXPECT_TRUE(Slot(0).Saw("teardown-complete:" + std::to_string(FLTFL_INSTANCE_TEARDOWN_MANUAL)));
  EXPECT_EQ(FltDetachVolume(Slot(0).filter, volume, nullptr), STATUS_FLT_INSTANCE_NOT_FOUND);

  // Detached: the filter no longer sees operations on the volume; attach again.
  int creates = 0;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    ++creates;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  fs->AddFile(u"\\a.txt");
  ASSERT_EQ(OpenAndClose(), STATUS_SUCCESS);
  EXPECT_EQ(creates, 0);
  PFLT_INSTANCE instance = nullptr;
  ASSERT_EQ(FltAttachVolume(Slot(0).filter, volume, nullptr, &instance), STATUS_SUCCESS);
  EXPECT_TRUE(Slot(0).Saw("setup:" + std::to_string(FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT)));
  ASSERT_EQ(OpenAndClose(), STATUS_SUCCESS);
  EXPECT_EQ(creates, 1);
  FltObjectDereference(instance);
  FltObjectDereference(volume);
}

TEST_F(Lifecycle, UnloadWaitsForOperationsInsideTheFilter) {
  fs->AddFile(u"\\a.txt");
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  Slot(0).pre[IRP_MJ_CREATE] = WithPost;
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    inside = true;
    while (!release) std::this_thread::yield();
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  sim::harness::Driver* driver = LoadTestFilter(0, 300000);
  std::thread opener([&] { EXPECT_EQ(OpenAndClose(), STATUS_SUCCESS); });
  while (!inside) std::this_thread::yield();
  std::atomic<bool> unloaded{false};
  std::thread unloader([&] {
    EXPECT_EQ(sim::harness::UnloadDriver(driver, true), STATUS_SUCCESS);
    unloaded = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(unloaded.load());  // teardown waits for the post-operation
  release = true;
  unloader.join();
  opener.join();
  EXPECT_TRUE(unloaded.load());
  const auto reason =
      FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD | FLTFL_INSTANCE_TEARDOWN_MANDATORY_FILTER_UNLOAD;
  EXPECT_TRUE(Slot(0).Saw("teardown-start:" + std::to_string(reason)));
  EXPECT_TRUE(Slot(0).Saw("teardown-complete:" + std::to_string(reason)));
}

PFLT_FILTER gLeaky;

NTSTATUS FLTAPI LeakyUnload(FLT_FILTER_UNLOAD_FLAGS) {
  FltUnregisterFilter(gLeaky);
  return STATUS_SUCCESS;
}

// Registers, allocates a block under its tag and never frees it.
NTSTATUS FLTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(registration);
  registration.Version = FLT_REGISTRATION_VERSION_0202;
  registration.FilterUnloadCallback = LeakyUnload;
  NTSTATUS status = FltRegisterFilter(driver, &registration, &gLeaky);
  if (!NT_SUCCESS(status)) return status;
  ExAllocatePool2(POOL_FLAG_PAGED, 32, 0x6b61654c);
  return FltStartFiltering(gLeaky);
}

TEST_F(Lifecycle, PoolStillHeldUnderTheDriverTagIsReportedAtUnload) {
  sim::harness::DriverOptions options;
  options.poolTag = 0x6b61654c;
  sim::harness::Driver* driver = nullptr;
  ASSERT_EQ(sim::harness::LoadDriver(LeakyEntry, options, &driver), STATUS_SUCCESS);
  ASSERT_EQ(sim::harness::UnloadDriver(driver, false), STATUS_SUCCESS);
  auto leaks = sim::verifier::TakeViolations(sim::verifier::Check::PoolLeak);
  ASSERT_EQ(leaks.size(), 1u);
  EXPECT_NE(leaks[0].message.find("lifecycle_test.cpp"), std::string::npos) << leaks[0].message;
  sim::harness::FreeAllPool();
}

}  // namespace
}  // namespace tavo_test
