// The scriptable test minifilter and the fixture of the Filter Manager tests.
#include <gtest/gtest.h>

#include "test_filter.h"

#include "fltmgr/filter_manager.h"

namespace tavo_test {
namespace {

TestFilter gSlots[2];

template <int S>
struct Callbacks {
  static FLT_PREOP_CALLBACK_STATUS FLTAPI Pre(PFLT_CALLBACK_DATA data,
                                              PCFLT_RELATED_OBJECTS objects, PVOID* ctx) {
    auto& fn = gSlots[S].pre[data->Iopb->MajorFunction];
    return fn ? fn(data, objects, ctx) : FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  static FLT_POSTOP_CALLBACK_STATUS FLTAPI Post(PFLT_CALLBACK_DATA data,
                                                PCFLT_RELATED_OBJECTS objects, PVOID ctx,
                                                FLT_POST_OPERATION_FLAGS flags) {
    auto& fn = gSlots[S].post[data->Iopb->MajorFunction];
    return fn ? fn(data, objects, ctx, flags) : FLT_POSTOP_FINISHED_PROCESSING;
  }
  static NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS flags) {
    gSlots[S].Record("unload:" + std::to_string(flags));
    if (gSlots[S].unload) return gSlots[S].unload(flags);
    FltUnregisterFilter(gSlots[S].filter);
    return STATUS_SUCCESS;
  }
  static NTSTATUS FLTAPI Setup(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_SETUP_FLAGS flags,
                               DEVICE_TYPE, FLT_FILESYSTEM_TYPE) {
    gSlots[S].Record("setup:" + std::to_string(flags));
    gSlots[S].instances.push_back(objects->Instance);
    return STATUS_SUCCESS;
  }
  static NTSTATUS FLTAPI QueryTeardown(PCFLT_RELATED_OBJECTS objects,
                                       FLT_INSTANCE_QUERY_TEARDOWN_FLAGS) {
    gSlots[S].Record("query-teardown");
    return gSlots[S].queryTeardown(objects);
  }
  static VOID FLTAPI TeardownStart(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS flags) {
    gSlots[S].Record("teardown-start:" + std::to_string(flags));
  }
  static VOID FLTAPI TeardownComplete(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS flags) {
    gSlots[S].Record("teardown-complete:" + std::to_string(flags));
  }
  static VOID FLTAPI ContextCleanup(PFLT_CONTEXT context, FLT_CONTEXT_TYPE type) {
    gSlots[S].Record("context-cleanup:" + std::to_string(type) + ":" +
                     std::to_string(static_cast<TestContext*>(context)->value));
  }
  static NTSTATUS FLTAPI Generate(PFLT_INSTANCE instance, PFILE_OBJECT fo, PFLT_CALLBACK_DATA data,
                                  FLT_FILE_NAME_OPTIONS options, PBOOLEAN, PFLT_NAME_CONTROL name) {
    return gSlots[S].generateName(instance, fo, data, options, name);
  }
  static NTSTATUS FLTAPI Normalize(PFLT_INSTANCE, PCUNICODE_STRING parent, USHORT volumeLength,
                                   PCUNICODE_STRING component, PFILE_NAMES_INFORMATION expand,
                                   ULONG length, FLT_NORMALIZE_NAME_FLAGS, PVOID*) {
    return gSlots[S].normalize(parent, volumeLength, component, expand, length);
  }
};

template <int S>
const FLT_OPERATION_REGISTRATION* Operations() {
  static const FLT_OPERATION_REGISTRATION table[] = {
      {IRP_MJ_CREATE, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_CLOSE, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_CLEANUP, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_READ, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_WRITE, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_QUERY_INFORMATION, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_SET_INFORMATION, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_DIRECTORY_CONTROL, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_QUERY_VOLUME_INFORMATION, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_QUERY_SECURITY, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_FILE_SYSTEM_CONTROL, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_LOCK_CONTROL, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_QUERY_EA, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_SET_EA, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, Callbacks<S>::Pre, Callbacks<S>::Post,
       nullptr},
      {IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, 0, Callbacks<S>::Pre, Callbacks<S>::Post,
       nullptr},
      {IRP_MJ_NETWORK_QUERY_OPEN, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_SHUTDOWN, 0, Callbacks<S>::Pre, nullptr, nullptr},
      {IRP_MJ_ACQUIRE_FOR_MOD_WRITE, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_RELEASE_FOR_MOD_WRITE, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_ACQUIRE_FOR_CC_FLUSH, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_RELEASE_FOR_CC_FLUSH, 0, Callbacks<S>::Pre, Callbacks<S>::Post, nullptr},
      {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
  return table;
}

template <int S>
const FLT_CONTEXT_REGISTRATION* Contexts() {
  static const FLT_CONTEXT_REGISTRATION table[] = {
      {FLT_STREAM_CONTEXT, 0, Callbacks<S>::ContextCleanup, sizeof(TestContext), 0x54637874u,
       nullptr, nullptr, nullptr},
      {FLT_STREAMHANDLE_CONTEXT, 0, Callbacks<S>::ContextCleanup, sizeof(TestContext), 0x54637868u,
       nullptr, nullptr, nullptr},
      {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};
  return table;
}

template <int S>
NTSTATUS FLTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(FLT_REGISTRATION);
  registration.Version = FLT_REGISTRATION_VERSION_0202;
  registration.ContextRegistration = Contexts<S>();
  registration.OperationRegistration = Operations<S>();
  registration.FilterUnloadCallback = Callbacks<S>::Unload;
  registration.InstanceSetupCallback = Callbacks<S>::Setup;
  if (gSlots[S].queryTeardown)
    registration.InstanceQueryTeardownCallback = Callbacks<S>::QueryTeardown;
  registration.InstanceTeardownStartCallback = Callbacks<S>::TeardownStart;
  registration.InstanceTeardownCompleteCallback = Callbacks<S>::TeardownComplete;
  if (gSlots[S].generateName) {
    registration.GenerateFileNameCallback = Callbacks<S>::Generate;
    if (gSlots[S].normalize) registration.NormalizeNameComponentCallback = Callbacks<S>::Normalize;
  }
  NTSTATUS status = FltRegisterFilter(driver, &registration, &gSlots[S].filter);
  if (!NT_SUCCESS(status)) return status;
  status = FltStartFiltering(gSlots[S].filter);
  if (!NT_SUCCESS(status)) FltUnregisterFilter(gSlots[S].filter);
  return status;
}

}  // namespace

bool TestFilter::Saw(const std::string& event) const {
  for (const auto& e : events) {
    if (e == event) return true;
  }
  return false;
}

TestFilter& Slot(int slot) {
  return gSlots[slot];
}

sim::harness::Driver* LoadTestFilter(int slot, ULONG altitude) {
  sim::harness::DriverOptions options;
  options.serviceName = slot == 0 ? u"TestFilterA" : u"TestFilterB";
  options.altitude = altitude;
  sim::harness::Driver* driver = nullptr;
  NTSTATUS status =
      sim::harness::LoadDriver(slot == 0 ? DriverEntry<0> : DriverEntry<1>, options, &driver);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return driver;
}

void FilterTest::SetUp() {
  for (auto& slot : gSlots) slot = TestFilter{};
  fs = std::make_shared<sim::io::TestFileSystem>();
  otherFs = std::make_shared<sim::io::TestFileSystem>();
  sim::harness::MountVolume(u"\\Device\\HarddiskVolume2", u'C', fs);
  sim::harness::MountVolume(u"\\Device\\HarddiskVolume3", u'D', otherFs);
}

void FilterTest::TearDown() {
  sim::harness::DeliverPreOperationsAtDispatchLevel(false);
  // Drivers still loaded go with a mandatory unload, so that their contexts
  // and names are checked.
  for (int s = 0; s < 2; ++s) {
    if (gSlots[s].filter && !gSlots[s].filter->unregistered) {
      gSlots[s].unload = nullptr;
      sim::fltmgr::UnloadFilter(gSlots[s].filter, true);
    }
  }
}

NTSTATUS FilterTest::Open(const std::string& path, HANDLE* handle, ACCESS_MASK access,
                          ULONG disposition, ULONG options, IO_STATUS_BLOCK* iosbOut, HANDLE root) {
  sim::harness::OwnedUnicodeString name(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = NtCreateFile(handle, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 disposition, options, nullptr, 0);
  if (iosbOut) *iosbOut = iosb;
  return status;
}

NTSTATUS FilterTest::OpenAndClose(const std::string& path) {
  HANDLE h = nullptr;
  const NTSTATUS status = Open(path, &h);
  if (NT_SUCCESS(status)) NtClose(h);
  return status;
}

std::string FilterTest::ReadAll(HANDLE handle) {
  char buffer[256];
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER zero{};
  NTSTATUS status =
      NtReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &zero, nullptr);
  if (!NT_SUCCESS(status)) return "<" + std::to_string(status) + ">";
  return std::string(buffer, iosb.Information);
}

}  // namespace tavo_test
